"""Ratings of networks: the sequential promotion test, Elo by maximum likelihood, and the
loop's promotion decided by the test."""

import math

import pytest

np = pytest.importorskip("numpy")

from tavlox_zero.rating.elo import Encounter, fit, head_to_head, pairwise_score, rate  # noqa: E402
from tavlox_zero.rating.sprt import ACCEPT_H0, ACCEPT_H1, SequentialTest  # noqa: E402


def payoffs(rng, mean, n):
    """Four-seat payoffs of mean `mean`: a tenth of the games end in a two-way shared win
    (half of them with this seat among the winners), the rest are won or lost outright."""
    shared = rng.random(n) < 0.1
    won = rng.random(n) < (mean - 0.025) / 0.9
    return np.where(shared, np.where(rng.random(n) < 0.5, 0.5, 0.0), won.astype(float))


@pytest.mark.parametrize("mean, right, error_bound, games_bound", [
    (0.25, ACCEPT_H0, 0.05, 500),   # H0 holds: wrongly accepting H1 is bounded by alpha
    (0.30, ACCEPT_H1, 0.08, 600),   # H1 holds: wrongly accepting H0 is bounded by beta (with slack)
    (0.45, ACCEPT_H1, 0.0, 100),    # far stronger: decided quickly and always right
    (0.10, ACCEPT_H0, 0.0, 100),
])
def test_sequential_test_decides_streams_of_known_strength(mean, right, error_bound, games_bound):
    runs = 300
    decisions, games = [], []
    for seed in range(runs):
        test = SequentialTest(p0=0.25, p1=0.30, alpha=0.05, beta=0.05)
        assert test.extend(payoffs(np.random.default_rng(seed), mean, 20000)) is not None
        decisions.append(test.decision)
        games.append(test.games)
        lower, upper = test.bounds
        assert test.llr >= upper if test.decision == ACCEPT_H1 else test.llr <= lower
    wrong = sum(d != right for d in decisions) / runs
    assert wrong <= error_bound, f"mean {mean}: {wrong:.3f} of the tests decided wrongly"
    assert np.mean(games) < games_bound, f"mean {mean}: {np.mean(games):.0f} games on average"

    # A decision is final: later games are not counted.
    test.add(1.0)
    assert test.games == games[-1] and test.to_dict()["decision"] == decisions[-1]
    assert test.to_dict()["upper_bound"] == pytest.approx(math.log(0.95 / 0.05))


@pytest.mark.parametrize("settings", [dict(p0=0.3, p1=0.3), dict(alpha=0.0), dict(beta=0.5)])
def test_sequential_test_refuses_settings_it_cannot_decide_with(settings):
    with pytest.raises(ValueError):
        SequentialTest(**settings)


TRUE_ELO = {"a": 0.0, "b": 120.0, "c": 260.0, "d": 300.0}


def simulated_games(rng, games, four_seats):
    """Every ordered pair's games from TRUE_ELO: four-seat matches by Luce's rule, or two-seat
    games with a tenth of them tied and the expected score of the Bradley-Terry model."""
    encounters = []
    for first in TRUE_ELO:
        for second in TRUE_ELO:
            if first == second:
                continue
            ratio = 10 ** ((TRUE_ELO[first] - TRUE_ELO[second]) / 400)
            if four_seats:
                wins = rng.random(games) < ratio / (ratio + 3)
                encounters.append(head_to_head(first, second, wins.astype(float)))
            else:
                outcome = rng.random(games)
                won = ratio / (ratio + 1)
                scores = np.where(outcome < 0.1, 0.5, (outcome < 0.1 + won - 0.05).astype(float))
                encounters.append(Encounter(first, second, scores))
    return encounters


@pytest.mark.parametrize("four_seats", [True, False])
def test_elo_recovers_known_ratings_within_its_intervals(four_seats):
    encounters = simulated_games(np.random.default_rng(7), 300, four_seats)
    ratings = rate(list(TRUE_ELO), encounters, anchor="a", bootstrap=200, seed=0)
    assert [r.name for r in sorted(ratings, key=lambda r: r.elo)] == ["a", "b", "c", "d"]
    for r in ratings:
        assert r.low <= TRUE_ELO[r.name] <= r.high, r
        assert r.games == 6 * 300
    assert ratings[0].elo == ratings[0].low == ratings[0].high == 0.0
    assert 0 < ratings[3].high - ratings[3].low < 120
    # The same seed gives the same intervals.
    assert rate(list(TRUE_ELO), encounters, bootstrap=200, seed=0) == ratings


def test_elo_of_equal_players_a_sweep_and_unconnected_players():
    # Four-seat games at the fair share are an even match, not a 190 Elo gap.
    assert fit(["x", "y"], [head_to_head("x", "y", [1.0, 0.0, 0.0, 0.0] * 20)]) == pytest.approx([0, 0], abs=1e-6)
    assert pairwise_score(0.25) == pytest.approx(0.5) and pairwise_score(1.0) == 1.0
    # A pair that won every game stays finite, and more games make the gap wider.
    few, many = (fit(["x", "y"], [Encounter.from_counts("x", "y", 0, 0, n)])[1] for n in (10, 100))
    assert 0 < few < many < 2000
    with pytest.raises(ValueError, match="connect z"):
        rate(["x", "y", "z"], [Encounter.from_counts("x", "y", 3, 1, 2)])


class FakePlayer:
    """Plays the loop's evaluation matches with payoffs drawn at a known mean."""

    def __init__(self, mean):
        self.mean, self.rng, self.batches = mean, np.random.default_rng(3), []

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        pass

    def play_against_random(self, config, n_games, network="model"):
        return [0.5] * n_games

    def play_head_to_head(self, config, n_games, first="model", second="baseline"):
        assert (first, second) == ("model", "baseline")
        self.batches.append(n_games)
        return payoffs(self.rng, self.mean, n_games).tolist()


@pytest.mark.parametrize("mean, margin, cap, promoted, decision", [
    (0.6, 0.0, 960, True, ACCEPT_H1),     # clearly stronger: promoted after a batch or two
    (0.25, 0.0, 960, False, ACCEPT_H0),   # as strong as the current network: kept
    (0.6, 0.0, 10, False, None),          # too few games to decide: kept
    (0.25, -1.0, 960, True, ACCEPT_H0),   # a negative margin promotes every candidate
])
def test_loop_promotes_a_candidate_only_when_the_head_to_head_test_accepts(
        tmp_path, monkeypatch, mean, margin, cap, promoted, decision):
    from tavlox_zero.training.loop import LoopConfig, RunConfig, TrainingLoop
    from tavlox_zero.players.pool_options import PoolSettings
    from tavlox_zero.training.trainer import TrainConfig

    loop = LoopConfig(eval_games=cap, promotion_margin=margin, promotion_batch=48, fixed_players="none")
    player = FakePlayer(mean)
    monkeypatch.setattr(TrainingLoop, "load", staticmethod(lambda path: None))
    monkeypatch.setattr(TrainingLoop, "open_players", lambda self, networks, match=None: player)
    training = TrainingLoop(tmp_path, RunConfig(engine={"dim": 5, "sims_per_move": 2}, train=TrainConfig(), loop=loop),
                            PoolSettings(device="cpu"), log=lambda _: None)
    result, was_promoted = training.evaluate(1)

    sprt = result["candidate_vs_current"]["sprt"]
    assert (was_promoted, sprt["decision"]) == (promoted, decision)
    assert result["candidate_vs_random"]["mean_payoff"] == 0.5
    assert result["candidate_vs_current"]["games"] == sprt["games"] <= sum(player.batches) <= cap
    assert player.batches == [min(48, cap - 48 * i) for i in range(len(player.batches))]
    assert sum(player.batches) - sprt["games"] < 48, "games stop at the batch that decides"
    assert sprt["p0"] == 0.25 + max(margin, 0.0) and sprt["p1"] == 0.30


LADDER = ["--games", "4", "--simulations", "2", "--bootstrap", "20", "--device", "cpu", "--games-in-flight", "8",
          "--search-threads", "1", "--threads", "1", "--fixed-players", "none"]


@pytest.fixture
def tiny_run(tmp_path):
    """A loop run directory on 5 x 5 with three small checkpoints (iterations 0, 1 and 3)."""
    import json

    from tavlox_zero.nets import network
    from tavlox_zero.engine.engine_config import EngineConfig

    run = tmp_path / "run"
    (run / "checkpoints").mkdir(parents=True)
    engine = EngineConfig(dim=5, sims_per_move=2)
    (run / "config.json").write_text(json.dumps({"engine": engine.to_dict(), "search": {"root": "gumbel"}}))
    for seed, iteration in enumerate((0, 1, 3)):
        model = network.new_model(seed=seed, channels=4, blocks=1)
        network.save_checkpoint(run / "checkpoints" / f"iter_{iteration:04d}.pt", model,
                                engine_config=engine.to_dict())
    return run


@pytest.mark.parametrize("arguments, message", [
    (["--games", "6"], "multiple of 4"),
    (["--simulations", "-1"], "--match-simulations"),
    (["--opening", "sideways"], "sideways"),
    (["missing"], "no such run directory"),
    (["one"], "at least two checkpoints"),
    (["--name", "../ladder"], "--name must be a plain file name"),
    (["--name", "config"], "starts with 'ladder'"),
    (["--rollout-weight", "2"], "rollout"),
])
def test_ladder_refuses_bad_inputs_before_playing(tiny_run, capsys, arguments, message):
    from tavlox_zero.cli import main

    run = tiny_run
    if arguments[0] in ("missing", "one"):
        if arguments[0] == "one":
            for path in sorted((run / "checkpoints").iterdir())[1:]:
                path.unlink()
        run, arguments = (run.parent / "missing" if arguments[0] == "missing" else run), []
    assert main(["ladder", str(run), *LADDER, *arguments]) == 2
    assert message in capsys.readouterr().err
    assert not (run / "ladder.json").exists()


def test_ladder_rates_every_checkpoint_and_keeps_finished_matches(tiny_run, monkeypatch, capsys):
    import csv
    import json

    from tavlox_zero.commands import ladder
    from tavlox_zero.cli import main

    real_open, played = ladder.open_players, []

    def counting_open(networks, settings, search, match, stop_after=None):
        assert search.root == "gumbel", "the ladder searches as the run did"
        pool = real_open(networks, settings, search=search, match=match)
        play = pool.play_head_to_head

        def counted(config, n_games, first, second):
            if len(played) == stop_after:
                raise KeyboardInterrupt
            played.append((first, second))
            return play(config, n_games, first=first, second=second)

        pool.play_head_to_head = counted
        return pool

    # Stopped after two of the six matches (three pairs, both directions): their games are kept.
    monkeypatch.setattr(ladder, "open_players", lambda *a, **k: counting_open(*a, **k, stop_after=2))
    assert main(["ladder", str(tiny_run), *LADDER]) == 130
    saved = json.loads((tiny_run / "ladder.json").read_text())
    assert [len(m["payoffs"]) for m in saved["matches"]] == [4, 4] and saved["ratings"] is None

    monkeypatch.setattr(ladder, "open_players", counting_open)
    assert main(["ladder", str(tiny_run), *LADDER]) == 0
    assert len(played) == 6 and len(set(played)) == 6, f"matches played: {played}"
    rows = list(csv.DictReader((tiny_run / "ladder.csv").open()))
    assert [(r["checkpoint"], r["iteration"], r["games"]) for r in rows] == [
        ("iter_0000", "0", "16"), ("iter_0001", "1", "16"), ("iter_0003", "3", "16")]
    assert float(rows[0]["elo"]) == 0.0
    assert all(float(r["low"]) <= float(r["elo"]) <= float(r["high"]) for r in rows)
    assert (tiny_run / "ladder.png").stat().st_size > 0
    assert "iter_0003" in capsys.readouterr().out

    # Everything played: a ladder with the same settings plays nothing and gives the same table.
    monkeypatch.setattr(ladder, "open_players", None)
    assert main(["ladder", str(tiny_run), *LADDER]) == 0
    assert list(csv.DictReader((tiny_run / "ladder.csv").open())) == rows

    # Fixed players join: only their matches are played (each checkpoint against three of each,
    # and the two against each other), and the scale can be anchored on one of them.
    monkeypatch.setattr(ladder, "open_players", counting_open)
    played.clear()
    assert main(["ladder", str(tiny_run), *LADDER, "--fixed-players", "random-tiles,heuristic",
                 "--anchor", "random-tiles"]) == 0
    assert played == [], "the checkpoints' head-to-head matches were played again"
    saved = json.loads((tiny_run / "ladder.json").read_text())
    pairs = {(m["first"], m["second"]) for m in saved["matches"]}
    assert {(c, f) for c in ("iter_0000", "iter_0001", "iter_0003") for f in ("random-tiles", "heuristic")} <= pairs
    assert {("random-tiles", "heuristic"), ("heuristic", "random-tiles")} <= pairs and len(pairs) == 14
    fixed_rows = {r["checkpoint"]: r for r in csv.DictReader((tiny_run / "ladder.csv").open())}
    assert float(fixed_rows["random-tiles"]["elo"]) == 0.0 and fixed_rows["heuristic"]["iteration"] == ""

    # Another match search under another name is played afresh beside the first ladder, the
    # rest of the run's search kept, and leaves the first as it was.
    before = (tiny_run / "ladder.json").read_text()
    assert main(["ladder", str(tiny_run), *LADDER, "--rollout-weight", "0.5", "--name", "ladder-w"]) == 0
    assert (tiny_run / "ladder.json").read_text() == before
    saved = json.loads((tiny_run / "ladder-w.json").read_text())
    assert (saved["settings"]["search"]["rollout_weight"], saved["settings"]["search"]["root"]) == (0.5, "gumbel")
    assert len(saved["matches"]) == 6 and (tiny_run / "ladder-w.csv").exists()
