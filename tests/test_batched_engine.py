"""The batched engine from Python: records, matches, reproducibility, and runs that end early."""

import math
import os

import pytest

np = pytest.importorskip("numpy")

from tavlox_zero.engine import rules  # noqa: E402
from tavlox_zero.engine import BatchedEngine, GameRecord, NetworkError  # noqa: E402
from tavlox_zero.engine.engine_config import EngineConfig  # noqa: E402
from tavlox_zero.engine.search_settings import MatchSettings, SearchSettings  # noqa: E402


def position_network(planes):
    """Deterministic logits that depend on the position, so different games differ."""
    rows, _, dim, _ = planes.shape
    weights = np.arange(1, planes.shape[1] + 1, dtype=np.float32).reshape(1, -1, 1, 1)
    cells = (planes * weights).sum(axis=1).reshape(rows, dim * dim)
    policy = np.sin(np.arange(dim * dim, dtype=np.float32) * 0.7 + cells)
    return policy.astype(np.float32), np.cos(policy[:, :4]).astype(np.float32)


def failing_after(calls, failure):
    count = [0]

    def network(planes):
        count[0] += 1
        if count[0] > calls:
            return failure(planes)
        return position_network(planes)

    return network


@pytest.fixture
def config():
    return EngineConfig(dim=7, sims_per_move=4, sample_moves=4)


def play(kind, config, games, networks, **options):
    engine = BatchedEngine(kind, config, games, networks, seed=options.pop("seed", 7), **options)
    with engine:
        return list(engine.run()), engine


def test_records_replay_legally_and_do_not_depend_on_threads_or_batches(config):
    records, engine = play("training", config, 6, [position_network], games_in_flight=1, search_threads=1)
    spread, _ = play("training", config, 6, [position_network], games_in_flight=6, search_threads=2)
    assert [r.index for r in records] == list(range(6))
    assert engine.stats.games == 6 and engine.stats.positions == sum(len(r) for r in records)
    for one, other in zip(records, spread):
        assert one.as_lists() == other.as_lists(), f"game {one.index} depends on the layout"
    for record in records:
        moves, policies, payoffs = record.as_lists()
        game = rules.Game(config.dim)
        for (player, tile), policy in zip(moves, policies):
            assert player == game.player
            assert tile in game.legal_tiles(), f"game {record.index} plays an illegal tile {tile}"
            assert tile in dict(policy) and math.isclose(sum(f for _, f in policy), 1.0, rel_tol=1e-5)
            game.apply(tile)
        assert game.is_terminal() and list(payoffs) == pytest.approx(game.payoff())


@pytest.mark.parametrize("kind, networks", [("random", 1), ("baseline", 2)])
def test_matches_report_seat_zero_payoffs(config, kind, networks):
    payoffs, engine = play(kind, config, 4, [position_network] * networks, games_in_flight=3, search_threads=2)
    again, _ = play(kind, config, 4, [position_network] * networks, games_in_flight=2, search_threads=1)
    assert len(payoffs) == 4 and payoffs == again
    assert all(p in (0.0, 1.0, 0.5, pytest.approx(1 / 3), 0.25) for p in payoffs)
    assert engine.dim == (20 if kind == "baseline" else config.dim)


def wrong_policy(planes):
    return np.zeros((planes.shape[0], 3), np.float32), np.zeros((planes.shape[0], 4), np.float32)


def wrong_values(planes):
    return np.zeros((planes.shape[0], planes.shape[2] ** 2), np.float32), np.zeros((planes.shape[0], 2))


def raising(planes):
    raise ZeroDivisionError("weights went bad")


@pytest.mark.parametrize("failure, expected, message", [
    (raising, NetworkError, "ZeroDivisionError: weights went bad"),
    (wrong_policy, NetworkError, "policy logits of shape (%d, 3), expected (%d, 49)"),
    (wrong_values, NetworkError, "value logits of shape (%d, 2), expected (%d, 4)"),
    (lambda planes: (_ for _ in ()).throw(KeyboardInterrupt), KeyboardInterrupt, ""),
])
def test_a_failing_network_stops_the_run_and_keeps_finished_games(config, failure, expected, message):
    engine = BatchedEngine("training", config, 40, [failing_after(2500, failure)], games_in_flight=4,
                           search_threads=2, batch_size=1, seed=3)
    yielded = []
    with pytest.raises(expected) as raised:
        for record in engine.run():
            yielded.append(record)
    if "%d" in message:
        message = message % (1, 1)
    assert message in str(raised.value)
    kept = yielded + engine.unclaimed
    assert 0 < len(kept) < 40 and all(isinstance(r, GameRecord) for r in kept)
    assert len({r.index for r in kept}) == len(kept)
    engine.close()


def test_thousands_of_batches_without_memory_growth(config):
    def resident_kib():
        with open(f"/proc/{os.getpid()}/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    small = EngineConfig(dim=5, sims_per_move=2)
    play("random", small, 1000, [position_network], games_in_flight=8, batch_size=2)
    before = resident_kib()
    for _ in range(3):
        _, engine = play("random", small, 1000, [position_network], games_in_flight=8, batch_size=2)
    assert engine.stats.batches >= 2000
    assert resident_kib() - before < 8 * 1024


def test_a_torch_module_plugs_in(config):
    torch = pytest.importorskip("torch")
    from tavlox_zero.nets.network import new_model
    from tavlox_zero.nets.torch_network import TorchNetwork

    torch.manual_seed(0)
    model = new_model(channels=8, blocks=1)
    network = TorchNetwork(model)
    planes = np.random.default_rng(0).integers(0, 2, (3, 5, 7, 7), dtype=np.uint8)
    policy, value = network(planes)
    with torch.no_grad():
        expected = model(torch.from_numpy(planes).float())
    np.testing.assert_allclose(policy, expected[0].numpy(), rtol=1e-5, atol=1e-5)
    records, _ = play("training", config, 2, [network], games_in_flight=2)
    assert len(records) == 2


def test_soak_interrupted_runs_resume_to_the_exact_games():
    """Runs interrupted at random batches, each resumed with the games not yet finished,
    end with every game exactly once, each the game an uninterrupted run plays, and never stall."""
    import random
    import signal

    config = EngineConfig(dim=5, sims_per_move=2, sample_moves=4)
    rng, wanted, finished, interrupts = random.Random(4), 60, {}, 0

    def stalled(signum, frame):
        raise TimeoutError("an interrupted run stalled")

    previous = signal.signal(signal.SIGALRM, stalled)
    signal.alarm(120)
    try:
        while len(finished) < wanted and interrupts < 100:
            missing = [n for n in range(wanted) if n not in finished]
            network = failing_after(rng.randrange(20, 300), lambda planes: (_ for _ in ()).throw(KeyboardInterrupt))
            engine = BatchedEngine("training", config, len(missing), [network], games_in_flight=rng.randrange(1, 9),
                                   search_threads=rng.randrange(1, 3), seed=9, game_numbers=missing)
            try:
                for record in engine.run():
                    assert record.index not in finished, f"game {record.index} came back twice"
                    finished[record.index] = record
            except KeyboardInterrupt:
                interrupts += 1
                for record in engine.unclaimed:
                    assert record.index not in finished, f"game {record.index} came back twice"
                    finished[record.index] = record
            engine.close()
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    assert interrupts >= 3 and sorted(finished) == list(range(wanted))
    uninterrupted, _ = play("training", config, wanted, [position_network], games_in_flight=5, seed=9)
    for record in uninterrupted:
        assert finished[record.index].as_lists() == record.as_lists(), f"game {record.index} differs when resumed"


@pytest.mark.parametrize("search", [
    SearchSettings(),
    SearchSettings(root="gumbel", gumbel_actions=4),
    SearchSettings(fpu_reduction=0.2, full_search_probability=0.5, fast_simulations=1),
    SearchSettings(root="gumbel", full_search_probability=0.5),
    SearchSettings(rollout_weight=0.5, rollout_player="heuristic", rollouts=3, rollout_temperature=2.0),
])
def test_search_settings_write_legal_recorded_shards(tmp_path, search):
    torch = pytest.importorskip("torch")
    from tavlox_zero.nets import network
    from tavlox_zero.data.shard_check import shard_problems
    from tavlox_zero.data.dataset import TrainingDataset, read_shard
    from tavlox_zero.players.pool_options import PoolSettings, open_players
    from tavlox_zero.players.self_play import generate

    torch.manual_seed(0)
    model = network.new_model(channels=4, blocks=0)
    pool = PoolSettings(device="cpu", games_in_flight=4, search_threads=1, game_seed=3, threads=1)
    summary = generate(model, EngineConfig(dim=5, sims_per_move=6, sample_moves=3), tmp_path, 4, pool,
                       progress=False, search=search)
    assert summary.games == 4 and not summary.error
    [path] = summary.shards
    shard = read_shard(path)
    assert shard.metadata["search"] == search.to_dict() and list(shard_problems(path)) == []
    recorded = np.diff(shard.policy_offsets) > 0
    assert len(TrainingDataset([path])) == recorded.sum() > 0
    assert recorded.all() == (search.full_search_probability == 1.0)
    if not search.is_default():
        with pytest.raises(ValueError, match="batched engine"):
            open_players({"model": model}, PoolSettings(engine="processes", device="cpu"), search=search)


@pytest.mark.parametrize("match", [MatchSettings(opening="random:2"), MatchSettings(4, "first-tile")])
def test_head_to_head_of_one_network_with_itself_is_fair(config, match):
    payoffs, engine = play("match", config, 48, [position_network] * 2, match=match,
                           search=SearchSettings(root="gumbel"), games_in_flight=8, search_threads=2)
    again, _ = play("match", config, 48, [position_network] * 2, match=match,
                    search=SearchSettings(root="gumbel"), games_in_flight=3, search_threads=1)
    assert payoffs == again and len(payoffs) == 48
    # Seats rotate with the game number: one network against itself earns the fair share.
    assert abs(np.mean(payoffs) - 0.25) < 0.1
    with pytest.raises(ValueError, match="opening"):
        MatchSettings(opening="random:0")


def test_player_runs_give_training_chunks_new_games_and_matches_the_same_draws():
    """With a fixed seed, the second training run of a player plays other games than the first
    (the chunks of one loop iteration), while repeated matches replay the same ones."""
    pytest.importorskip("torch")
    from tavlox_zero.players.batched_player import BatchedPlayer
    from tavlox_zero.nets.network import new_model

    config = EngineConfig(dim=5, sims_per_move=4)
    with BatchedPlayer({"model": new_model(1, channels=4, blocks=0)}, "cpu", seed=11, games_in_flight=4) as player:
        first, second = ([r.moves.tolist() for r in player.play_training_games(config, 4)] for _ in range(2))
        match = MatchSettings(opening="random:2")
        assert player.play_against_random(config, 8, match=match) == player.play_against_random(config, 8, match=match)
    assert first != second and not any(game in first for game in second)
