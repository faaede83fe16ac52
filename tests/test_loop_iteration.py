"""The training loop end to end on a tiny board, and its resumption after a stop."""

import importlib.util
import json
import math
from dataclasses import asdict, replace

import pytest

pytest.importorskip("torch")
pytest.importorskip("tavlox_self_play")

from tavlox_zero.nets import network  # noqa: E402
from tavlox_zero.engine.search_settings import reference_players  # noqa: E402
from tavlox_zero.data.dataset import TrainingDataset  # noqa: E402
from tavlox_zero.players.pool_options import PoolSettings  # noqa: E402
from tavlox_zero.training.loop import LoopConfig, RunConfig, TrainingLoop, beats_current, newest_shards  # noqa: E402
from tavlox_zero.rating.sprt import SequentialTest  # noqa: E402
from tavlox_zero.training.trainer import TrainConfig, split_positions  # noqa: E402


def scalar_tags(directory) -> set:
    """The scalar tags of the TensorBoard event files in `directory`."""
    from tensorboard.backend.event_processing.event_accumulator import EventAccumulator

    events = EventAccumulator(str(directory))
    events.Reload()
    return set(events.Tags()["scalars"])


def tiny_config(seed: int = 0, **loop_settings) -> RunConfig:
    from tavlox_zero.engine.engine_config import EngineConfig

    engine = EngineConfig(dim=5, sims_per_move=2, sample_moves=4)
    loop = LoopConfig(
        iterations=2, games_per_iteration=3, games_per_shard=2, window=2, steps_per_iteration=3,
        eval_games=3, checkpoint_every=2, channels=4, blocks=1, promotion_margin=0.0,
    )
    train = TrainConfig(batch_size=8, warmup_steps=1, schedule_steps=6, seed=seed)
    return RunConfig(engine=asdict(engine), train=train, loop=replace(loop, **loop_settings))


VARIANTS = {
    "fixed steps": {},
    "steps from reuse, held-out games, TD returns of score shares": dict(
        seed=5, steps_per_iteration=0, sample_reuse=2.0, holdout_fraction=0.5, td_lambda=0.8, value_temperature=1.0),
    "the search values' share growing over the run": dict(search_value_weight=0.0, search_value_weight_final=1.0),
}


def held_out_games(paths, fraction):
    """The (shard name, game) pairs held out of these shards, checking that games are never split."""
    dataset = TrainingDataset(paths)
    training, held = split_positions(dataset, fraction)
    owner = [(dataset.paths[s].name, int(g)) for s, g in dataset.position_games()]
    assert len(training) + len(held) == len(dataset)
    assert not {owner[i] for i in training} & {owner[i] for i in held}, "a game is both trained on and held out"
    return {owner[i] for i in held}


REFERENCE_PLAYERS = reference_players()
POOL = PoolSettings(workers=1, device="cpu", max_batch=4, max_wait_ms=1.0)


class Stop(Exception):
    pass


def metrics(run_dir):
    return [json.loads(line) for line in (run_dir / "metrics.jsonl").read_text().splitlines()]


@pytest.mark.parametrize("settings", VARIANTS.values(), ids=VARIANTS)
def test_loop_runs_and_resumes_after_a_stop_without_redoing_finished_steps(tmp_path, monkeypatch, settings):
    run_dir = tmp_path / "run"
    config = tiny_config(**settings)
    loop = TrainingLoop.open(run_dir, config, POOL, log=lambda _: None)

    def expected_steps(train):
        reuse = math.ceil(config.loop.sample_reuse * train["new_positions"] / config.train.batch_size)
        return config.loop.steps_per_iteration or max(1, reuse)

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
    assert record["selfplay"]["games"] == 3
    assert record["train"]["step"] == record["train"]["steps"] == expected_steps(record["train"])

    # A fresh process would reopen the run from its directory; finished steps must not rerun.
    resumed = TrainingLoop.open(run_dir, None, POOL, log=lambda _: None)
    called = []
    original_selfplay = TrainingLoop.selfplay
    monkeypatch.setattr(TrainingLoop, "selfplay", lambda self, i: called.append(i) or original_selfplay(self, i))
    resumed.run()
    assert called == [2], f"self-play ran for iterations {called}; iteration 1's games were already done"

    rows = metrics(run_dir)
    assert [r["iteration"] for r in rows] == [0, 1, 2]
    if config.loop.search_value_weight_final is not None:
        assert [r["train"]["search_value_weight"] for r in rows[1:]] == [0.0, 1.0], \
            "the share moves from --search-value-weight at the first iteration to the final weight at the last"
    assert rows[2]["train"]["window_shards"] == 4
    assert rows[2]["train"]["step"] == rows[1]["train"]["step"] + expected_steps(rows[2]["train"])
    initial = network.new_model(config.train.seed, channels=4, blocks=1).state_dict()
    saved = TrainingLoop.load(run_dir / "checkpoints" / "iter_0000.pt").state_dict()
    assert all(saved[name].equal(initial[name]) for name in initial), "the initial network is not the seed's"
    # Held-out games: whole games, the same ones in every window that holds their shard.
    fraction = config.loop.holdout_fraction
    shards = sorted((run_dir / "shards").iterdir())
    held = held_out_games(shards, fraction)
    assert held == held_out_games(shards[:2], fraction) | held_out_games(shards[2:], fraction)
    assert (rows[2]["train"]["holdout_positions"] > 0) == (fraction > 0) == (rows[2]["train"]["held_out"] is not None)
    for row in rows:
        assert row["candidate_vs_random"]["games"] == 3
        fixed = row["candidate_vs_fixed"]
        assert set(fixed) == set(REFERENCE_PLAYERS) and all(s["games"] == 4 for s in fixed.values()), \
            "every fixed player meets the candidate in each seat once (3 games rounded up to 4)"
    if importlib.util.find_spec("tensorboard") is not None:
        tags = scalar_tags(run_dir / "tensorboard")
        expected = {"train/loss", "train/learning_rate", "iteration/train/policy_loss",
                    "iteration/train/value_loss", "iteration/selfplay_positions_per_second",
                    "iteration/vs_random_seat0", "iteration/promotion/llr", "iteration/promotion/vs_current",
                    *(f"iteration/vs_fixed/{player}" for player in REFERENCE_PLAYERS)}
        if fraction > 0:
            expected |= {"held_out/value_loss", "iteration/held_out/value_loss", "iteration/held_out/policy_loss"}
        assert expected <= tags, f"missing TensorBoard scalars: {sorted(expected - tags)}"
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


@pytest.mark.parametrize("iteration, window, positions, chosen", [
    (3, 20, 0, [0, 1, 2, 3, 4, 5]),   # no position limit: every shard in the window
    (3, 20, 100, [3, 4, 5]),          # the newest shards until 100 positions
    (3, 20, 50, [4, 5]),              # the iteration's own shards even past the limit
    (3, 2, 10**6, [2, 3, 4, 5]),      # never older than `window` iterations
    (2, 20, 100, [2, 3]),             # never newer than the iteration
])
def test_window_takes_the_newest_shards_until_it_holds_enough_positions(iteration, window, positions, chosen):
    shards = [(1, 100), (1, 50), (2, 80), (2, 70), (3, 60), (3, 10)]
    assert newest_shards(shards, iteration, window, positions) == chosen


def test_runs_saved_before_the_training_settings_resume_as_they_started():
    saved = tiny_config().to_dict()
    for name in ("window_positions", "sample_reuse", "holdout_fraction"):
        del saved["loop"][name]
    loop = RunConfig.from_dict(saved).loop
    assert (loop.window_positions, loop.holdout_fraction, loop.steps_per_iteration) == (0, 0.0, 3)


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


@pytest.mark.parametrize("minutes, ran", [(None, [1, 2, 3, 4]), (2.5, [1, 2, 3]), (2.1, [1, 2]), (0.5, [1])])
def test_loop_starts_no_iteration_that_would_end_past_its_time_budget(tmp_path, monkeypatch, minutes, ran):
    from tavlox_zero.training import loop as loop_module
    from tavlox_zero.training.loop import LoopConfig, RunConfig, TrainingLoop
    from tavlox_zero.players.pool_options import PoolSettings
    from tavlox_zero.training.trainer import TrainConfig

    clock, played = [0.0], []
    monkeypatch.setattr(loop_module.time, "monotonic", lambda: clock[0])
    monkeypatch.setattr(TrainingLoop, "initialise", lambda self: None)
    monkeypatch.setattr(TrainingLoop, "state", lambda self: {"completed_iterations": 0, "current": 0})

    def one_minute(self, iteration):
        played.append(iteration)
        clock[0] += 60.0 * self.scale

    monkeypatch.setattr(TrainingLoop, "run_iteration", one_minute)
    config = RunConfig(engine={"dim": 5, "sims_per_move": 2}, train=TrainConfig(), loop=LoopConfig(iterations=4))
    TrainingLoop(tmp_path, config, PoolSettings(device="cpu"), log=lambda _: None).run(minutes=minutes)
    assert played == ran
    assert minutes is None or len(ran) == 1 or clock[0] <= 60 * minutes, "a planned iteration ended past the budget"


def test_time_budget_is_spent_after_a_slow_first_iteration_and_kept(tmp_path, monkeypatch):
    from tavlox_zero.training import loop as loop_module

    # A fake clock on a busy machine: self-play takes 200 s in the first iteration and 100 s later
    # and training 20 s, both in proportion when shrunk, and the evaluation 40 s whatever the size.
    now, plays, planned = [0.0], [], []
    loop = TrainingLoop.open(tmp_path / "run", tiny_config(iterations=20, steps_per_iteration=8), POOL,
                             log=lambda _: None)

    def slowed_iteration(self, iteration):
        settings = self.scaled_loop()
        plays.append((self.scale, settings.games_per_iteration, settings.steps_per_iteration, settings.eval_games))
        planned.append(self.iterations_left)
        seconds = {"selfplay": (200.0 if iteration == 1 else 100.0) * self.scale, "train": 20.0 * self.scale,
                   "evaluation": 40.0}
        record = {step: {"seconds": value} for step, value in seconds.items()}
        record["selfplay"]["scale"] = self.scale
        self.dirs.record(iteration).write_text(json.dumps(record))
        now[0] += sum(seconds.values())

    monkeypatch.setattr(loop_module.time, "monotonic", lambda: now[0])
    monkeypatch.setattr(TrainingLoop, "initialise", lambda self: None)
    monkeypatch.setattr(TrainingLoop, "state", lambda self: {"completed_iterations": 0, "current": 0})
    monkeypatch.setattr(TrainingLoop, "run_iteration", slowed_iteration)
    loop.run(minutes=8)
    assert now[0] <= 8 * 60, f"the run ended {now[0] - 480:.0f} s past its budget: {plays}"
    assert len(plays) >= 3, f"only {len(plays)} iteration(s) in the budget: {plays}"
    assert plays[0] == (1.0, 3, 8, 3) and 0 < plays[-1][0] < 1, f"the last iteration is not shrunk: {plays}"
    for scale, games, steps, eval_games in plays[1:]:
        assert (games, steps, eval_games) == (math.ceil(3 * scale), math.ceil(8 * scale), 4), plays
    # The learning rate's schedule is planned to end with the budget, not with iteration 20.
    assert planned[0] == 20 and planned[-1] == 1, f"schedules planned for {planned} iterations"
    assert planned[1:] == sorted(planned[1:], reverse=True), planned
    assert loop.scale == 1.0
