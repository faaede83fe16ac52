"""The training loop end to end on a tiny board, and its resumption after a stop."""

import json
from dataclasses import asdict

import pytest

pytest.importorskip("torch")
pytest.importorskip("tavlox_self_play")

from tavlox_zero.pool_options import PoolSettings  # noqa: E402
from tavlox_zero.loop import LoopConfig, RunConfig, TrainingLoop, beats_current  # noqa: E402
from tavlox_zero.sprt import SequentialTest  # noqa: E402
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
        match = row["candidate_vs_current"]
        assert match["games"] == match["sprt"]["games"] == 3, "the head-to-head match plays on any board"
        assert match["sprt"]["decision"] is None and not row["promoted"], "three games decide no promotion"
    assert rows[2]["current"] == (2 if rows[2]["promoted"] else rows[1]["current"])
    assert (run_dir / "progress.png").stat().st_size > 0
    for name in ("current.pt", "trainer.pt", "iter_0000.pt", "iter_0001.pt", "iter_0002.pt"):
        assert (run_dir / "checkpoints" / name).exists(), f"missing checkpoint {name}"

    # A finished run started again does nothing more.
    TrainingLoop.open(run_dir, None, POOL, log=lambda _: None).run()
    assert [r["iteration"] for r in metrics(run_dir)] == [0, 1, 2]


@pytest.mark.parametrize("payoffs, margin, promoted", [
    ([1.0, 0.0] * 60, 0.0, True),             # a mean of 0.5 against the fair 0.25: accepted
    ([0.25] * 20, 0.0, False),                 # a fair share is no improvement
    ([1.0, 0.0] * 2, 0.0, False),              # too few games for any decision
    ([0.0] * 20, -0.1, True),                  # a negative margin promotes every candidate
])
def test_promotion_rule_follows_the_head_to_head_test(payoffs, margin, promoted):
    test = SequentialTest(p0=0.25 + max(margin, 0.0), p1=0.30)
    test.extend(payoffs)
    assert beats_current(test, margin) == promoted
