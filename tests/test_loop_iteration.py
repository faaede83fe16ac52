"""The training loop end to end on a tiny board, and its resumption after a stop."""

import json
from dataclasses import asdict

import pytest

pytest.importorskip("torch")
pytest.importorskip("tavlox_self_play")

from tavlox_zero.pool_options import PoolSettings  # noqa: E402
from tavlox_zero.loop import LoopConfig, RunConfig, TrainingLoop, beats_current  # noqa: E402
from tavlox_zero.stats import summarize_payoffs  # noqa: E402
from tavlox_zero.train import TrainConfig  # noqa: E402


def tiny_config() -> RunConfig:
    from tavlox_zero.engine_config import EngineConfig

    engine = EngineConfig(dim=5, sims_per_move=2, sample_moves=4)
    loop = LoopConfig(
        iterations=2, games_per_iteration=3, games_per_shard=2, window=2, steps_per_iteration=3,
        eval_games=3, checkpoint_every=2, channels=4, blocks=1,
    )
    train = TrainConfig(batch_size=8, warmup_steps=1, schedule_steps=6)
    return RunConfig(engine=asdict(engine), train=train, loop=loop)


POOL = PoolSettings(workers=1, device="cpu", max_batch=4, max_wait_ms=1.0)


class Stop(Exception):
    pass


def metrics(run_dir):
    return [json.loads(line) for line in (run_dir / "metrics.jsonl").read_text().splitlines()]


def test_loop_runs_and_resumes_after_a_stop_without_redoing_finished_steps(tmp_path, monkeypatch):
    run_dir = tmp_path / "run"
    loop = TrainingLoop.open(run_dir, tiny_config(), POOL, log=lambda _: None)

    # Stop iteration 1 in the middle of its evaluation.
    def stop(self, iteration):
        raise Stop()

    with monkeypatch.context() as patch:
        patch.setattr(TrainingLoop, "evaluate", stop)
        with pytest.raises(Stop):
            loop.run()
    state = json.loads((run_dir / "state.json").read_text())
    assert state == {"completed_iterations": 0, "current": 0}, f"state after the stop: {state}"
    record = json.loads((run_dir / "iterations" / "iter_0001.json").read_text())
    assert {"selfplay", "train"} <= record.keys() and "evaluation" not in record
    shards = sorted(p.name for p in (run_dir / "shards").iterdir())
    assert shards == ["iter_0001_000.npz", "iter_0001_001.npz"], f"self-play chunks: {shards}"
    assert record["selfplay"]["games"] == 3 and record["train"]["step"] == 3

    # A fresh process would reopen the run from its directory; finished steps must not rerun.
    resumed = TrainingLoop.open(run_dir, None, POOL, log=lambda _: None)
    called = []
    original_selfplay = TrainingLoop.selfplay
    monkeypatch.setattr(TrainingLoop, "selfplay", lambda self, i: called.append(i) or original_selfplay(self, i))
    resumed.run()
    assert called == [2], f"self-play ran for iterations {called}; iteration 1's games were already done"

    rows = metrics(run_dir)
    assert [r["iteration"] for r in rows] == [0, 1, 2]
    assert rows[2]["train"]["step"] == 6 and rows[2]["train"]["window_shards"] == 4
    for row in rows:
        assert row["candidate_vs_random"]["games"] == 3
    for row in rows[1:]:
        assert row["current_vs_random"]["games"] == 3, "on 5x5 the current network is measured against random players"
        assert row["promoted"] == (
            row["candidate_vs_random"]["mean_payoff"] - row["current_vs_random"]["mean_payoff"] > 0.0
        )
    assert rows[2]["current"] == (2 if rows[2]["promoted"] else rows[1]["current"])
    assert (run_dir / "progress.png").stat().st_size > 0
    for name in ("current.pt", "trainer.pt", "iter_0000.pt", "iter_0001.pt", "iter_0002.pt"):
        assert (run_dir / "checkpoints" / name).exists(), f"missing checkpoint {name}"

    # A finished run started again does nothing more.
    TrainingLoop.open(run_dir, None, POOL, log=lambda _: None).run()
    assert [r["iteration"] for r in metrics(run_dir)] == [0, 1, 2]


def test_promotion_rule_uses_the_head_to_head_match_when_there_is_one():
    strong, weak = summarize_payoffs([1.0, 1.0, 0.0, 1.0]), summarize_payoffs([0.0, 0.0, 0.25, 0.0])
    fair = summarize_payoffs([0.25] * 4)
    assert beats_current(weak, None, summarize_payoffs([0.5, 0.5, 0.5, 0.0]), margin=0.1)
    assert not beats_current(strong, None, summarize_payoffs([0.5, 0.5, 0.5, 0.0]), margin=0.2)
    assert not beats_current(strong, None, fair, margin=0.0), "a fair share (0.25) is no improvement"
    assert beats_current(strong, weak, None, margin=0.5)
    assert not beats_current(weak, strong, None, margin=0.0)
    assert not beats_current(strong, strong, None, margin=0.0), "equal strength is no improvement"
    with pytest.raises(ValueError):
        beats_current(strong, None, None, margin=0.0)
