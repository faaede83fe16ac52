"""The evaluate command end to end: real matches on the worker pool, results in JSON; and the pool
options that evaluate shares with selfplay and loop."""

import json

import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("tavlox_self_play")

from tavlox_zero import cli  # noqa: E402
from tavlox_zero.nets import network  # noqa: E402
from tavlox_zero.nets.inference import BACKENDS  # noqa: E402
from tavlox_zero.players.pool_options import PoolSettings  # noqa: E402
from tavlox_zero.engine.search_settings import reference_players  # noqa: E402


def tiny_checkpoint(path, seed, engine_config=None):
    torch.manual_seed(seed)
    network.save_checkpoint(path, network.new_model(channels=4, blocks=0), engine_config=engine_config)


def test_evaluate_plays_both_matches_and_writes_the_summaries(tmp_path, capsys):
    model, baseline, report = tmp_path / "model.pt", tmp_path / "baseline.pt", tmp_path / "report.json"
    tiny_checkpoint(model, 1, engine_config={"sims_per_move": 2})
    tiny_checkpoint(baseline, 2)
    status = cli.main([
        "evaluate", str(model), "--baseline", str(baseline), "--games", "2", "--dim", "5",
        "--workers", "1", "--device", "cpu", "--json", str(report),
    ])
    assert status == 0
    results = json.loads(report.read_text())
    assert results["engine_config"]["dim"] == 5, "--dim should choose the board of a network that names none"
    assert results["engine_config"]["sims_per_move"] == 2, "the rest comes from the checkpoint"
    for match in ("against_random", "against_baseline"):
        summary = results[match]
        assert summary["games"] == 2, f"{match}: {summary}"
        assert summary["payoff_ci"]["low"] <= summary["mean_payoff"] <= summary["payoff_ci"]["high"]
        assert summary["wins"] + summary["shared_wins"] <= 2
        assert summary["win_rate"] == summary["wins"] / 2
    out = capsys.readouterr().out
    assert "against random players on 5x5" in out and "on 20x20" in out, out


@pytest.mark.parametrize("command", [["selfplay"], ["evaluate", "model.pt"], ["loop", "run"]])
def test_every_command_takes_the_same_pool_options(command):
    parser = cli.build_parser()
    assert PoolSettings.from_args(parser.parse_args(command)) == PoolSettings().resolved()
    given = ["--workers", "3", "--device", "cpu", "--max-batch", "7", "--max-wait-ms", "0.5", "--threads", "2",
             "--engine", "processes", "--games-in-flight", "9", "--search-threads", "2", "--game-seed", "5"]
    assert PoolSettings.from_args(parser.parse_args(command + given)) == PoolSettings(
        engine="processes", games_in_flight=9, search_threads=2, game_seed=5, workers=3, device="cpu",
        max_batch=7, max_wait_ms=0.5, threads=2)
    with pytest.raises(ValueError, match="--max-batch must be at least 1"):
        PoolSettings.from_args(parser.parse_args(command + ["--max-batch", "0"]))


def test_evaluate_measures_greedy_and_searched_play_against_untrained_seeds(tmp_path, capsys):
    model, report = tmp_path / "model.pt", tmp_path / "report.json"
    tiny_checkpoint(model, 1, engine_config={"dim": 5, "sims_per_move": 2})
    args = ["evaluate", str(model), "--games", "8", "--opening", "first-tile", "--match-simulations", "4",
            "--untrained-seeds", "2", "--game-seed", "7", "--device", "cpu", "--json", str(report)]
    assert cli.main(args) == 0
    first = json.loads(report.read_text())
    plays = [(m["network"], m["play"]) for m in first["measures"]]
    assert plays == [(n, p) for p in ("greedy", "search 4") for n in ("model", "untrained seed 0", "untrained seed 1")]
    assert first["against_random"] == first["measures"][0]["summary"]
    assert set(first["backends"]) == {"model", "untrained seed 0", "untrained seed 1"}
    assert set(first["backends"].values()) <= set(BACKENDS) - {"auto"}, "the backend auto picked, by name"
    for row in first["separation"]:
        pooled = row["pooled_untrained"]
        assert pooled["games"] == 16, row
        model_low = next(m["summary"]["payoff_ci"]["low"] for m in first["measures"]
                         if m["network"] == "model" and m["play"] == row["play"])
        assert row["above_pooled"] == (model_low > pooled["payoff_ci"]["high"])
    assert "untrained seed 1 against random players on 5x5, search 4, opening first-tile" in capsys.readouterr().out
    fixed = [(m["play"], m["opponents"], m["network"], m["summary"]["games"]) for m in first["fixed_players"]]
    assert fixed == [(p, o, n, 8) for p in ("greedy", "search 4") for o in reference_players()
                     for n in ("model", "untrained seed 0", "untrained seed 1")], "every seat twice against each"
    assert len(first["fixed_separation"]) == 2 * len(reference_players())
    assert cli.main(args) == 0, "the same seeds play the same games"
    second = json.loads(report.read_text())
    assert (second["measures"], second["fixed_players"]) == (first["measures"], first["fixed_players"])


def test_evaluate_without_the_random_match_plays_the_named_fixed_players(tmp_path):
    model, report = tmp_path / "model.pt", tmp_path / "report.json"
    tiny_checkpoint(model, 1, engine_config={"dim": 5, "sims_per_move": 2})
    assert cli.main(["evaluate", str(model), "--no-random", "--fixed-players", "largest-piece", "--games", "4",
                     "--device", "cpu", "--json", str(report)]) == 0
    results = json.loads(report.read_text())
    assert "against_random" not in results
    assert [(m["opponents"], m["summary"]["games"]) for m in results["fixed_players"]] == [("largest-piece", 4)]
