"""The rules engine as seen from Python: tavlox_zero.engine.rules."""

import random

import pytest

np = pytest.importorskip("numpy")
rules = pytest.importorskip("tavlox_zero.engine.rules")


def play_random(game, rng, max_moves=None):
    while not game.is_terminal() and (max_moves is None or len(game.history) < max_moves):
        game.apply(rng.choice(game.legal_tiles()))
    return game


def test_new_game_state_marks_only_the_legal_tiles():
    game = rules.Game(20)
    state = game.state()
    assert state.shape == (5, 20, 20) and state.dtype == np.bool_
    assert not state[:4].any(), "a new board has no covered cell"
    legal = set(np.flatnonzero(state[4].ravel()).tolist())
    assert legal == set(game.legal_tiles())
    assert 0 in legal and all(t // 20 < 5 and t % 20 < 5 for t in legal)


def test_turn_narrows_and_completes_the_five_cell_line():
    game = rules.Game(20)
    for tile in (0, 1, 2, 3):
        game.apply(tile)
        assert game.player == 0
    assert game.legal_tiles() == [4, 20, 21, 22, 23]
    assert game.state()[0].ravel()[:4].all(), "chosen tiles show as the mover's cells"
    game.apply(4)
    assert game.player == 1
    assert game.history == [(0, 0), (0, 1), (0, 2), (0, 3), (0, 4)]


def test_illegal_tile_raises_and_leaves_the_game_unchanged():
    game = rules.Game(7)
    game.apply(0)
    before = (game.history, game.legal_tiles(), game.player, game.state().copy())
    with pytest.raises(ValueError, match=r"^Invalid move - Player 0, Tile 48$"):
        game.apply(48)
    after = (game.history, game.legal_tiles(), game.player, game.state())
    assert before[:3] == after[:3] and (before[3] == after[3]).all()


def test_copy_is_independent():
    game = play_random(rules.Game(9), random.Random(3), max_moves=20)
    twin = game.copy()
    play_random(twin, random.Random(4))
    assert twin.is_terminal() and not game.is_terminal()
    assert len(game.history) == 20


@pytest.mark.parametrize("dim", [3, 257, -1])
def test_board_size_out_of_range_is_refused(dim):
    with pytest.raises((ValueError, OverflowError)):
        rules.Game(dim)


def test_random_games_end_with_consistent_scores_and_payoffs():
    rng = random.Random(11)
    for dim in (5, 7, 20):
        game = play_random(rules.Game(dim), rng)
        assert all(game.finished) and game.legal_tiles() == []
        counts = np.bincount([p for p, _ in game.history], minlength=4)
        scores = game.scores()
        assert all(s - c in (-89, -74, -69) for s, c in zip(scores, counts))
        payoff = game.payoff()
        best = max(scores)
        winners = [p for p in range(4) if scores[p] == best]
        assert payoff == pytest.approx([1 / len(winners) if p in winners else 0 for p in range(4)])


def test_encode_record_replays_the_states_before_each_move():
    game = rules.Game(7)
    rng = random.Random(5)
    states = []
    while not game.is_terminal():
        states.append(game.state().copy())
        game.apply(rng.choice(game.legal_tiles()))
    encoded = rules.encode_record(7, game.history)
    assert encoded.shape == (len(states), 5, 7, 7)
    assert (encoded == np.stack(states)).all()
    assert (rules.encode_record(7, np.asarray(game.history)) == encoded).all()


def test_encode_record_rejects_moves_that_do_not_fit_the_game():
    with pytest.raises(ValueError, match="player 0 is to move"):
        rules.encode_record(7, [(1, 6)])
    with pytest.raises(ValueError, match="Invalid move"):
        rules.encode_record(7, [(0, 48)])
    assert rules.encode_record(7, []).shape == (0, 5, 7, 7)
