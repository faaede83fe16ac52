"""The whole training loop: self-play, training, evaluation, promotion (the `loop` command).

A run lives in one directory:

    config.json                 engine, training and loop settings, fixed at the start
    state.json                  completed iterations and which network is current
    shards/iter_0003_000.npz    self-play games of iteration 3, in chunks
    checkpoints/current.pt      the network that plays self-play games
    checkpoints/trainer.pt      the network being trained, with its optimiser state
    checkpoints/iter_0003.pt    the candidate of iteration 3 (iteration 0: the untrained net)
    iterations/iter_0003.json   what iteration 3 has finished so far
    metrics.jsonl               one line per finished iteration
    progress.png                losses and strength per iteration
    tensorboard/                the same scalars for TensorBoard, and every training step's losses

Every file is written atomically (a temporary file, then a rename), and each
step of an iteration first looks for its own output, so a run stopped at any
point and started again repeats at most the unfinished step: a self-play
chunk, the training steps since the last checkpoint, or an evaluation.

Promotion: the candidate plays one seat (rotating) against the current network in
the other three, on fresh games, in batches of `promotion_batch`, until a sequential
probability ratio test (sprt.py) decides or `eval_games` games are played. Equal networks
earn the fair 0.25 there; the test weighs H0 "the candidate earns 0.25 + margin" against
H1 "it earns promotion_p1", with error rates promotion_alpha of both kinds. The candidate
is promoted only when the test accepts H1; an undecided test keeps the current network.
The evaluation matches search with `eval_simulations` simulations (default: the run's own)
and open with two random tiles.
A negative margin promotes every candidate (the match is still played and recorded).
The candidate's match against three random players (in seat 0) is kept as a measure of
progress, and so are its matches against three of each fixed reference player
(`fixed_players`, reference.py), in every seat in turn, which do not ride on seat 0's
advantage and do not drift with the network being measured.

Training: an iteration trains on the newest shards, newest first, until they
hold `window_positions` positions (always all of its own shards; never shards
older than `window` iterations), minus the held-out games (see train.py), a
share `holdout_fraction` of every iteration's games that measures the training
(and, with a `patience`, stops it early and keeps its best weights; by default
every step is kept, because the held-out loss of one iteration's noisy games
rose and fell from step to step and early stopping threw most training away).
Its steps are `steps_per_iteration` when set, else enough
for every new training position to be drawn `sample_reuse` times on average.

A resumed run keeps the settings saved in config.json; only the number of
iterations may grow. With a fixed step count the learning-rate schedule spans
the iterations set at the start and stays at its floor after them; with steps
from the reuse target it spans the run's iterations, or those that fit a time
budget at the pace of the last one, its length extrapolated from each
iteration's steps. A run saved before the training settings above
existed resumes as it started: no position limit and no held-out games.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import time
from contextlib import ExitStack
from dataclasses import asdict, dataclass, field, fields, replace
from datetime import datetime, timezone
from pathlib import Path
from typing import Callable, Optional

import torch

from .base.atomic import atomic_write, copy_atomic, write_json_atomic
from .engine.constants import FAIR_SHARE
from .engine.engine_config import EngineConfig
from .engine.engine_config import add_arguments as add_engine_arguments
from .base.errors import CommandFailed, UsageError, at_least, within, writable_directory
from .players.matches import against_random
from .view.plotting import plot_progress
from .players.pool_options import PoolSettings, open_pool
from .training.scalars import ScalarLog
from .base.settings import add_deprecated_alias
from .engine.search_settings import SEARCH, MatchSettings, SearchSettings
from .rating.sprt import ACCEPT_H1, SequentialTest
from .rating.stats import summarize_payoffs
from .train import Subset, TrainConfig, Trainer, dataset_key, holdout_key, split_positions

HELP = "run iterations of self-play, training and evaluation in a run directory"


@dataclass
class LoopConfig:
    iterations: int = 10
    games_per_iteration: int = 64
    games_per_shard: int = 32
    # Training data: the newest shards until they hold window_positions positions (0: no
    # limit), from the last `window` iterations at most.
    window: int = 20
    window_positions: int = 100_000
    # Steps per iteration; 0: ceil(sample_reuse * new training positions / batch size).
    steps_per_iteration: int = 0
    sample_reuse: float = 4.0
    holdout_fraction: float = 0.1
    eval_games: int = 100
    # Simulations of the evaluation matches' search; 0: greedy on the policy; None: the run's sims.
    eval_simulations: Optional[int] = None
    promotion_margin: float = 0.0
    promotion_p1: float = 0.30
    promotion_alpha: float = 0.05
    promotion_batch: int = 48
    checkpoint_every: int = 100
    # The fixed reference players each candidate is measured against, seats rotated.
    fixed_players: str = "all"
    channels: int = 32
    blocks: int = 3


@dataclass
class RunConfig:
    engine: dict
    train: TrainConfig
    loop: LoopConfig
    search: dict = field(default_factory=lambda: SearchSettings().to_dict())  # how self-play searches

    def to_dict(self) -> dict:
        return {"engine": self.engine, "train": asdict(self.train), "loop": asdict(self.loop), "search": self.search}

    @classmethod
    def from_dict(cls, values: dict) -> "RunConfig":
        known = {f.name for f in fields(LoopConfig)}
        # A run saved before these settings existed goes on training as it started.
        loop = {**BEFORE_TRAINING_SETTINGS, **{k: v for k, v in values["loop"].items() if k in known}}
        return cls(
            engine=dict(values["engine"]),
            train=TrainConfig.from_dict(values["train"]),
            loop=LoopConfig(**loop),
            search=SearchSettings.from_dict(values.get("search")).to_dict(),
        )


# A loop keeps every training step: see the module's docstring.
LOOP_PATIENCE = 0
BEFORE_TRAINING_SETTINGS = {"window_positions": 0, "sample_reuse": 1.5, "holdout_fraction": 0.0, "eval_simulations": 0}


def newest_shards(shards: list[tuple[int, int]], iteration: int, window: int, positions: int) -> list[int]:
    """Which of the shards, given oldest first as (iteration, positions), iteration `iteration`
    trains on: its own, then older ones newest first while fewer than `positions` positions
    are chosen (0: no limit), none older than `window` iterations. Indices, oldest first."""
    chosen, total = [], 0
    for index in reversed(range(len(shards))):
        shard_iteration, size = shards[index]
        if shard_iteration > iteration:
            continue
        if shard_iteration <= iteration - window or (shard_iteration < iteration and positions and total >= positions):
            break
        chosen.append(index)
        total += size
    return chosen[::-1]


def recorded_positions(path: Path) -> int:
    """Positions of a shard with a recorded policy (the ones training uses)."""
    import numpy as np

    with np.load(path, allow_pickle=False) as shard:
        return int(np.count_nonzero(np.diff(shard["policy_offsets"]) > 0))


def evaluation_match(config: "RunConfig") -> MatchSettings:
    """How the evaluation matches play: searched as self-play searches (the network's strength
    as an agent, which its greedy policy alone can misjudge either way), from two random
    tiles, because play from the empty board repeats the same few games in every batch,
    which a sequential test would count as new."""
    simulations = config.loop.eval_simulations
    if simulations is None:
        simulations = int(config.engine["sims_per_move"])
    return MatchSettings(simulations=simulations, opening="random:2")


# A shrunk iteration is planned to end this share of the time left early, for the parts of an
# iteration that do not shrink with it (loading networks, starting engines).
BUDGET_SAFETY = 0.9
# The smallest share of a full iteration worth starting.
MIN_ITERATION_SCALE = 0.25


@dataclass(frozen=True)
class Pace:
    """How long an iteration takes: `scalable` seconds for a full iteration's self-play and
    training, which shrink with it, and `fixed` seconds of the rest (evaluation, whose time
    follows the length of its games more than their number, plots, loading networks)."""

    scalable: float
    fixed: float = 0.0


def iteration_scale(remaining: float, pace: Optional[Pace]) -> Optional[float]:
    """The share of a full iteration that fits in `remaining` seconds at `pace` (None: no
    iteration measured yet, a full one is tried), or None when too little fits."""
    if remaining <= 0:
        return None
    if pace is None:
        return 1.0
    room = BUDGET_SAFETY * remaining - pace.fixed
    if room >= pace.scalable:
        return 1.0
    fits = room / pace.scalable if pace.scalable > 0 else 0.0
    return fits if fits >= MIN_ITERATION_SCALE else None


def iterations_left(by_count: int, remaining: Optional[float], pace: Optional[Pace]) -> int:
    """How many iterations, this one included, a run is planned to last: `by_count`, or fewer
    when a time budget with `remaining` seconds ends them sooner at `pace`."""
    if remaining is None or pace is None or pace.scalable + pace.fixed <= 0:
        return by_count
    fit = math.ceil(BUDGET_SAFETY * remaining / (pace.scalable + pace.fixed))
    return max(1, min(by_count, fit))


def promotion_test(loop: "LoopConfig") -> SequentialTest:
    """The sequential test of a candidate's head-to-head match against the current network."""
    p0 = FAIR_SHARE + max(loop.promotion_margin, 0.0)
    return SequentialTest(p0=p0, p1=loop.promotion_p1, alpha=loop.promotion_alpha, beta=loop.promotion_alpha)


def beats_current(test: SequentialTest, margin: float) -> bool:
    """The promotion rule: the head-to-head test accepted H1 (a negative margin promotes always)."""
    return margin < 0 or test.decision == ACCEPT_H1


def read_json(path: Path, default=None):
    try:
        return json.loads(path.read_text())
    except FileNotFoundError:
        return default


def read_metrics(path: Path) -> list[dict]:
    """The rows of a metrics file, skipping a line left incomplete by a stop."""
    rows = []
    if path.exists():
        for line in path.read_text().splitlines():
            try:
                rows.append(json.loads(line))
            except json.JSONDecodeError:
                continue
    return rows


def now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="seconds")


class RunDirectory:
    """Names of the files of one run."""

    def __init__(self, root: os.PathLike | str) -> None:
        self.root = Path(root)
        self.config = self.root / "config.json"
        # The same settings as options of `loop --config` (see save_run_config).
        self.config_toml = self.root / "config.toml"
        self.state = self.root / "state.json"
        self.shards = self.root / "shards"
        self.checkpoints = self.root / "checkpoints"
        self.iterations = self.root / "iterations"
        self.metrics = self.root / "metrics.jsonl"
        self.plot = self.root / "progress.png"
        self.tensorboard = self.root / "tensorboard"
        self.current = self.checkpoints / "current.pt"
        self.trainer = self.checkpoints / "trainer.pt"

    def make(self) -> None:
        for folder in (self.shards, self.checkpoints, self.iterations):
            folder.mkdir(parents=True, exist_ok=True)

    def candidate(self, iteration: int) -> Path:
        return self.checkpoints / f"iter_{iteration:04d}.pt"

    def record(self, iteration: int) -> Path:
        return self.iterations / f"iter_{iteration:04d}.json"

    def shard(self, iteration: int, chunk: int) -> Path:
        return self.shards / f"iter_{iteration:04d}_{chunk:03d}.npz"

    def shards_of(self, iteration: int) -> list[Path]:
        return sorted(self.shards.glob(f"iter_{iteration:04d}_*.npz"))


class TrainingLoop:
    def __init__(
        self, run_dir: os.PathLike | str, config: RunConfig, pool: PoolSettings, log: Callable[[str], None] = print
    ) -> None:
        self.dirs = RunDirectory(run_dir)
        self.config = config
        self.pool = pool.resolved()
        self.log = log
        self._ray_player = None
        self.scalars = ScalarLog(self.dirs.tensorboard)
        # The share of a full iteration the current one plays (below 1 to fit a time budget).
        self.scale = 1.0
        # Iterations the learning-rate schedule is planned to last from the current one on
        # (None: up to the run's last iteration).
        self.iterations_left: Optional[int] = None

    @classmethod
    def open(cls, run_dir, config: Optional[RunConfig], pool: PoolSettings, log=print) -> "TrainingLoop":
        """The loop of an existing run (its saved settings win) or of a new one."""
        saved = read_json(RunDirectory(run_dir).config)
        if saved is not None:
            return cls(run_dir, RunConfig.from_dict(saved), pool, log)
        if config is None:
            raise FileNotFoundError(f"{run_dir} holds no run to resume and no settings were given")
        loop = cls(run_dir, config, pool, log)
        loop.dirs.make()
        save_run_config(loop.dirs, config)
        return loop

    @property
    def engine_config(self) -> EngineConfig:
        return EngineConfig.from_dict(self.config.engine)

    def state(self) -> dict:
        return read_json(self.dirs.state, {"completed_iterations": -1, "current": 0})

    def run(self, iterations: Optional[int] = None, minutes: Optional[float] = None) -> None:
        """Runs iterations up to `iterations` (default: the run's). With `minutes`, each
        iteration is planned at the pace of the last one: one that would end past the budget is
        shrunk to fit what is left (fewer self-play games, training steps and evaluation games),
        and none starts when even a quarter of one would not fit."""
        iterations = self.config.loop.iterations if iterations is None else iterations
        clock = time.monotonic
        started = clock()
        self.dirs.make()
        try:
            self.initialise()
            completed = self.state()["completed_iterations"]
            pace = self.recorded_pace(completed)
            for iteration in range(completed + 1, iterations + 1):
                scale = 1.0
                if minutes is not None:
                    scale = iteration_scale(60 * minutes - (clock() - started), pace)
                    if scale is None:
                        self.log(f"stopped before iteration {iteration}: even a shrunk iteration would end "
                                 f"past --minutes {minutes:g}")
                        break
                    if scale < 1.0:
                        self.log(f"iteration {iteration}: shrunk to {scale:.0%} of its games and steps to end "
                                 f"within --minutes {minutes:g}")
                begun, self.scale = clock(), scale
                self.iterations_left = iterations_left(iterations - iteration + 1,
                                                       None if minutes is None else 60 * minutes - (clock() - started),
                                                       pace)
                try:
                    self.run_iteration(iteration)
                finally:
                    self.scale, self.iterations_left = 1.0, None
                pace = self.measured_pace(iteration, clock() - begun, scale)
        finally:
            self.scalars.close()
            if self._ray_player is not None:
                self._ray_player.close()
                self._ray_player = None

    def recorded_pace(self, iteration: int) -> Optional[Pace]:
        """The pace of `iteration` from its record: its self-play and training seconds, and its
        evaluation seconds as the fixed part (None for iteration 0 or without a record)."""
        record = read_json(self.dirs.record(iteration), {}) if iteration > 0 else {}
        parts = [(record.get(step) or {}).get("seconds") for step in ("selfplay", "train", "evaluation")]
        if not all(isinstance(part, (int, float)) for part in parts):
            return None
        return Pace((parts[0] + parts[1]) / (record["selfplay"].get("scale") or 1.0), parts[2])

    def measured_pace(self, iteration: int, seconds: float, scale: float) -> Pace:
        """The pace of an iteration just run in `seconds` at `scale`: its recorded self-play and
        training seconds scale, the rest of the time does not; without a record, all of it scales."""
        recorded = self.recorded_pace(iteration)
        if recorded is None:
            return Pace(seconds / scale)
        scaled = recorded.scalable * scale
        return Pace(recorded.scalable, max(0.0, seconds - scaled))

    def scaled_loop(self) -> LoopConfig:
        """The loop settings of the iteration being run: the run's own, or with fewer self-play
        games, training steps and evaluation games when it is shrunk to fit a time budget."""
        loop = self.config.loop
        if self.scale >= 1.0:
            return loop
        return replace(loop, games_per_iteration=max(1, math.ceil(self.scale * loop.games_per_iteration)),
                       steps_per_iteration=math.ceil(self.scale * loop.steps_per_iteration),
                       eval_games=max(4, math.ceil(self.scale * loop.eval_games)))

    # Iteration 0: the untrained network, measured against random players.
    def initialise(self) -> None:
        if self.state()["completed_iterations"] >= 0:
            return
        initial = self.dirs.candidate(0)
        if not initial.exists():
            from .nets import network

            model = network.new_model(self.config.train.seed, channels=self.config.loop.channels,
                                      blocks=self.config.loop.blocks)
            Trainer(model, self.config.train).save(initial, engine_config=self.config.engine)
        for path in (self.dirs.current, self.dirs.trainer):
            if not path.exists():
                copy_atomic(initial, path)
        record = read_json(self.dirs.record(0), {"iteration": 0})
        if "evaluation" not in record:
            started = time.monotonic()
            with self.open_pool({"model": self.load(initial)}, match=evaluation_match(self.config)) as pool:
                summary = against_random(pool, self.engine_config, self.config.loop.eval_games)
                self.log(f"iteration 0, untrained network against random players: {summary.describe()}")
                fixed = self.against_fixed_players(pool, 0)
            record["evaluation"] = {
                "candidate_vs_random": summary.to_dict(),
                **({"candidate_vs_fixed": fixed} if fixed else {}),
                "seconds": time.monotonic() - started,
            }
            record["promoted"] = True
            write_json_atomic(self.dirs.record(0), record)
        self.finish(0, record, current=0)

    def run_iteration(self, iteration: int) -> None:
        record = read_json(self.dirs.record(iteration), {"iteration": iteration})
        if "selfplay" not in record:
            record["selfplay"] = self.selfplay(iteration)
            write_json_atomic(self.dirs.record(iteration), record)
        if "train" not in record:
            record["train"] = self.train(iteration)
            write_json_atomic(self.dirs.record(iteration), record)
        if "evaluation" not in record:
            record["evaluation"], record["promoted"] = self.evaluate(iteration)
            write_json_atomic(self.dirs.record(iteration), record)
        current = iteration if record["promoted"] else self.state()["current"]
        if record["promoted"]:
            copy_atomic(self.dirs.candidate(iteration), self.dirs.current)
        self.finish(iteration, record, current)

    def selfplay(self, iteration: int) -> dict:
        loop = self.scaled_loop()
        started = time.monotonic()
        chunks = -(-loop.games_per_iteration // loop.games_per_shard)
        with ExitStack() as stack:
            pool = None
            for chunk in range(chunks):
                path = self.dirs.shard(iteration, chunk)
                if path.exists():
                    continue
                if pool is None:
                    pool = stack.enter_context(self.open_pool({"model": self.load(self.dirs.current)}))
                games = min(loop.games_per_shard, loop.games_per_iteration - chunk * loop.games_per_shard)
                self.write_selfplay_shard(pool, path, games, iteration)
                self.log(f"iteration {iteration}: self-play chunk {chunk + 1}/{chunks}, {games} games")
        games, positions = self.count(self.dirs.shards_of(iteration))
        shrunk = {"scale": self.scale} if self.scale < 1.0 else {}
        return {"games": games, "positions": positions, "seconds": time.monotonic() - started, **shrunk}

    def write_selfplay_shard(self, pool, path: Path, games: int, iteration: int) -> None:
        from .data.dataset import write_shard

        records = list(pool.play_training_games(self.engine_config, games))
        metadata = {
            "engine_config": self.config.engine,
            "checkpoint": str(self.dirs.current),
            "iteration": iteration,
            "created": now(),
            "search": self.config.search,
        }
        write_shard(path, records, self.engine_config.dim, metadata)

    def window(self, iteration: int) -> list[Path]:
        loop = self.config.loop
        first = max(1, iteration - loop.window + 1)
        shards = [(i, p) for i in range(first, iteration + 1) for p in self.dirs.shards_of(i)]
        sizes = [(i, recorded_positions(p) if loop.window_positions else 0) for i, p in shards]
        return [shards[k][1] for k in newest_shards(sizes, iteration, loop.window, loop.window_positions)]

    def steps(self, new_positions: int) -> int:
        loop = self.scaled_loop()
        if loop.steps_per_iteration:
            return loop.steps_per_iteration
        return max(1, math.ceil(loop.sample_reuse * new_positions / self.config.train.batch_size))

    def train(self, iteration: int) -> dict:
        from .data.dataset import TrainingDataset

        started = time.monotonic()
        loop = self.config.loop
        paths = self.window(iteration)
        dataset = TrainingDataset([str(p) for p in paths])
        training, held = split_positions(dataset, loop.holdout_fraction)
        own = {k for k, p in enumerate(paths) if p in set(self.dirs.shards_of(iteration))}
        new_positions = int(sum(k in own for k in dataset.position_games()[training, 0]))
        steps = self.steps(new_positions)
        previous = read_json(self.dirs.record(iteration - 1), {}).get("train", {})
        start = int(previous.get("step", 0))
        config = self.config.train
        if not loop.steps_per_iteration:
            # The schedule ends with the run's last iteration, or the last that fits the time
            # budget, supposing each takes this one's steps.
            left = self.iterations_left or max(1, loop.iterations - iteration + 1)
            config = replace(config, schedule_steps=start + left * steps)
        trainer, _ = Trainer.from_checkpoint(self.dirs.trainer, self.pool.device, config)

        def save(t: Trainer) -> None:
            t.save(self.dirs.trainer, engine_config=self.config.engine, extra={"iteration": iteration})

        losses = trainer.train(
            Subset(dataset, training), holdout_key(dataset_key(paths), loop.holdout_fraction), start + steps,
            checkpoint=save, checkpoint_every=loop.checkpoint_every,
            holdout=Subset(dataset, held) if len(held) else None, scalars=self.scalars,
        )
        save(trainer)
        copy_atomic(self.dirs.trainer, self.dirs.candidate(iteration))
        held_out = trainer.position.held_out_summary()
        self.log(
            f"iteration {iteration}: trained to step {trainer.step} on {len(training)} positions, "
            f"policy loss {losses['policy_loss']:.4f}, value loss {losses['value_loss']:.4f}"
            + ("" if held_out is None else
               f"; held out ({len(held)} positions): best at step {held_out['best']['step']}, policy loss "
               f"{held_out['best']['policy_loss']:.4f}, value loss {held_out['best']['value_loss']:.4f} "
               f"(constant {held_out['best']['constant_value_loss']:.4f})"
               + (", stopped early" if held_out["stopped_early"] else ""))
        )
        return {
            **losses,
            "step": trainer.step,
            "steps": steps,
            "sample_reuse": None if loop.steps_per_iteration else loop.sample_reuse,
            "new_positions": new_positions,
            "learning_rate": trainer.learning_rate,
            "window_shards": len(paths),
            "window_positions": len(training),
            "holdout_positions": len(held),
            "held_out": held_out,
            "seconds": time.monotonic() - started,
        }

    def evaluate(self, iteration: int) -> tuple[dict, bool]:
        started = time.monotonic()
        engine, loop = self.engine_config, self.scaled_loop()
        networks = {"model": self.load(self.dirs.candidate(iteration)), "baseline": self.load(self.dirs.current)}
        result = {}
        test, payoffs = promotion_test(loop), []
        # A fixed game seed would replay the same games in every batch: then one batch holds them all.
        batch = loop.eval_games if self.pool.game_seed is not None else loop.promotion_batch
        with self.open_pool(networks, match=evaluation_match(self.config)) as pool:
            candidate = against_random(pool, engine, loop.eval_games, network="model")
            result["candidate_vs_random"] = candidate.to_dict()
            self.log(f"iteration {iteration}: candidate against random players {candidate.describe()}")
            fixed = self.against_fixed_players(pool, iteration)
            if fixed:
                result["candidate_vs_fixed"] = fixed
            while test.decision is None and test.games < loop.eval_games:
                played = pool.play_head_to_head(engine, min(batch, loop.eval_games - test.games),
                                                first="model", second="baseline")
                counted = test.games
                test.extend(played)
                payoffs += list(played)[:test.games - counted]
        match = summarize_payoffs(payoffs)
        result["candidate_vs_current"] = {**match.to_dict(), "sprt": test.to_dict()}
        self.log(f"iteration {iteration}: candidate against the current network {match.describe()}; "
                 f"test {test.decision or 'undecided'} (LLR {test.llr:.2f} in [{test.bounds[0]:.2f}, "
                 f"{test.bounds[1]:.2f}])")
        promoted = beats_current(test, loop.promotion_margin)
        result["seconds"] = time.monotonic() - started
        self.log(f"iteration {iteration}: {'promoted the candidate' if promoted else 'kept the current network'}")
        return result, promoted

    def against_fixed_players(self, pool, iteration: int) -> dict:
        """The candidate ("model") in every seat in turn against three of each fixed reference
        player: {player: summary}."""
        from .players.reference import parse_players, rotated_games

        games = rotated_games(self.scaled_loop().eval_games)
        results = {}
        for player in parse_players(self.config.loop.fixed_players):
            summary = summarize_payoffs(pool.play_against_reference(self.engine_config, games, player))
            self.log(f"iteration {iteration}: candidate against three {player} players, seats rotated, "
                     f"{summary.describe()}")
            results[player] = summary.to_dict()
        return results

    def finish(self, iteration: int, record: dict, current: int) -> None:
        row = {"iteration": iteration, "finished": now(), "promoted": record["promoted"], "current": current}
        row.update({key: record[key] for key in ("selfplay", "train") if key in record})
        evaluation = dict(record["evaluation"])
        row["evaluation_seconds"] = evaluation.pop("seconds", None)
        row.update(evaluation)
        rows = [r for r in read_metrics(self.dirs.metrics) if r.get("iteration", -1) < iteration] + [row]
        with atomic_write(self.dirs.metrics, "w") as f:
            f.write("".join(json.dumps(r) + "\n" for r in rows))
        plot_progress(rows, self.dirs.plot, title=f"{self.dirs.root.name}: board {self.config.engine['dim']}")
        write_iteration_scalars(self.scalars, row)
        write_json_atomic(self.dirs.state, {"completed_iterations": iteration, "current": current})

    def open_pool(self, networks: dict, match: Optional[MatchSettings] = None):
        networks = {name: model.eval() for name, model in networks.items()}
        if self.pool.ray is None:
            return open_pool(networks, self.pool, search=SearchSettings.from_dict(self.config.search), match=match)
        # On Ray the actors live as long as the loop: each step sends them its networks.
        if self._ray_player is None:
            self._ray_player = open_pool(networks, self.pool, search=SearchSettings.from_dict(self.config.search))
        else:
            self._ray_player.update_networks(networks)
        self._ray_player.match = match or MatchSettings()
        return contextlib.nullcontext(self._ray_player)

    @staticmethod
    def load(path: Path) -> torch.nn.Module:
        from .nets import network

        return network.load_checkpoint(path)[0]

    @staticmethod
    def count(paths: list[Path]) -> tuple[int, int]:
        import numpy as np

        games = positions = 0
        for path in paths:
            with np.load(path, allow_pickle=False) as shard:
                games += len(shard["game_offsets"]) - 1
                positions += len(shard["moves"])
        return games, positions


def write_iteration_scalars(scalars: ScalarLog, row: dict) -> None:
    """One metrics row as TensorBoard scalars at step = iteration: losses, held-out losses,
    self-play positions/s, the payoff against random players (seat 0) and against each fixed
    player (seats rotated) with the Elo difference it implies, and the promotion test."""
    iteration = row["iteration"]
    train = row.get("train") or {}
    scalars.add_all("iteration/train", train, iteration, "loss", "policy_loss", "value_loss", "learning_rate")
    best = (train.get("held_out") or {}).get("best") or {}
    scalars.add_all("iteration/held_out", best, iteration, "loss", "policy_loss", "value_loss", "constant_value_loss")
    selfplay = row.get("selfplay") or {}
    if selfplay.get("seconds"):
        scalars.add("iteration/selfplay_positions_per_second", selfplay["positions"] / selfplay["seconds"], iteration)
    scalars.add("iteration/vs_random_seat0", (row.get("candidate_vs_random") or {}).get("mean_payoff"), iteration)
    for player, summary in (row.get("candidate_vs_fixed") or {}).items():
        scalars.add(f"iteration/vs_fixed/{player}", summary["mean_payoff"], iteration)
        scalars.add(f"iteration/elo_vs_fixed/{player}", elo_against_three(summary["mean_payoff"]), iteration)
    current = row.get("candidate_vs_current") or {}
    scalars.add("iteration/promotion/vs_current", current.get("mean_payoff"), iteration)
    scalars.add("iteration/promotion/llr", (current.get("sprt") or {}).get("llr"), iteration)
    scalars.add("iteration/promotion/promoted", row.get("promoted"), iteration)
    scalars.flush()


def elo_against_three(mean_payoff: float) -> Optional[float]:
    """The Elo difference to a player that a mean payoff against three copies of it implies
    (elo.py's model), or None at 0 or 1."""
    from .rating.elo import ELO_PER_NEPER, pairwise_score

    score = pairwise_score(mean_payoff)
    return ELO_PER_NEPER * math.log(score / (1.0 - score)) if 0.0 < score < 1.0 else None


# The options that set a run's saved settings: (section of config.json, field, option, destination).
SETTINGS = (
    ("engine", "dim", "--dim", "dim"),
    ("engine", "rep", "--rep", "rep"),
    ("engine", "sims_per_move", "--sims", "sims_per_move"),
    ("engine", "sample_moves", "--sample-moves", "sample_moves"),
    ("engine", "c_base", "--c-base", "c_base"),
    ("engine", "c_init", "--c-init", "c_init"),
    ("engine", "dirichlet_alpha", "--dirichlet-alpha", "dirichlet_alpha"),
    ("engine", "exploration_fraction", "--exploration-fraction", "exploration_fraction"),
    ("loop", "iterations", "--iterations", "iterations"),
    ("loop", "games_per_iteration", "--games", "games"),
    ("loop", "games_per_shard", "--games-per-shard", "games_per_shard"),
    ("loop", "window", "--window", "window"),
    ("loop", "window_positions", "--window-positions", "window_positions"),
    ("loop", "steps_per_iteration", "--steps", "steps"),
    ("loop", "sample_reuse", "--sample-reuse", "sample_reuse"),
    ("loop", "holdout_fraction", "--holdout-fraction", "holdout_fraction"),
    ("loop", "eval_games", "--eval-games", "eval_games"),
    ("loop", "eval_simulations", "--match-simulations", "eval_simulations"),
    ("loop", "promotion_margin", "--promotion-margin", "promotion_margin"),
    ("loop", "promotion_p1", "--promotion-p1", "promotion_p1"),
    ("loop", "promotion_alpha", "--promotion-alpha", "promotion_alpha"),
    ("loop", "promotion_batch", "--promotion-batch", "promotion_batch"),
    ("loop", "checkpoint_every", "--checkpoint-every", "checkpoint_every"),
    ("loop", "fixed_players", "--fixed-players", "fixed_players"),
    ("loop", "channels", "--channels", "channels"),
    ("loop", "blocks", "--blocks", "blocks"),
    ("train", "batch_size", "--batch-size", "batch_size"),
    ("train", "learning_rate", "--lr", "lr"),
    ("train", "weight_decay", "--weight-decay", "weight_decay"),
    ("train", "warmup_steps", "--warmup-steps", "warmup_steps"),
    ("train", "seed", "--seed", "seed"),
    ("train", "eval_every", "--eval-every", "eval_every"),
    ("train", "patience", "--patience", "patience"),
    ("train", "score_loss_weight", "--score-loss-weight", "score_loss_weight"),
)
# Settings a resumed run may change: they do not alter the games, shards or training done so far.
ADJUSTABLE = {"iterations", "eval_games", "eval_simulations", "promotion_margin", "checkpoint_every", "promotion_p1", "promotion_alpha",
              "promotion_batch", "fixed_players"}

OPTIONS = {name: option for _, name, option, _ in SETTINGS}


def adjustable_options() -> list[str]:
    """The options of the settings a resumed run may change, in the order of SETTINGS."""
    return [option for _, name, option, _ in SETTINGS if name in ADJUSTABLE]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    defaults_loop, defaults_train = LoopConfig(), TrainConfig()
    parser.add_argument("run_dir", type=Path, help="directory of the run (created, or resumed when it exists)")
    parser.add_argument("--minutes", type=float,
                        help="time budget of this invocation: an iteration that would end past it at the pace "
                             "of the last one is shrunk to fit (fewer games and steps), and none starts when "
                             "less than a quarter of one fits (not saved; the run resumes where it stopped)")
    parser.add_argument("--iterations", type=int, help=f"iterations to reach (default {defaults_loop.iterations})")
    add_engine_arguments(parser)
    group = parser.add_argument_group(
        f"loop (a resumed run keeps its saved settings; only {', '.join(adjustable_options())} may change)")
    group.add_argument("--games", type=int, help=f"self-play games per iteration (default "
                                                 f"{defaults_loop.games_per_iteration})")
    group.add_argument("--games-per-shard", type=int, help=f"default {defaults_loop.games_per_shard}")
    group.add_argument("--window", type=int,
                       help=f"most iterations of shards trained on (default {defaults_loop.window})")
    group.add_argument("--window-positions", type=int,
                       help=f"positions trained on: the newest shards until they hold this many (0: all in "
                            f"--window; default {defaults_loop.window_positions})")
    group.add_argument("--steps", type=int, help="training steps per iteration (default: from --sample-reuse)")
    group.add_argument("--sample-reuse", type=float,
                       help=f"times each new training position is drawn on average, which sets the steps "
                            f"(default {defaults_loop.sample_reuse})")
    group.add_argument("--holdout-fraction", type=float,
                       help=f"share of the games kept out of training to measure it and stop early "
                            f"(default {defaults_loop.holdout_fraction})")
    group.add_argument("--eval-every", type=int,
                       help=f"steps between held-out evaluations (default {defaults_train.eval_every})")
    group.add_argument("--patience", type=int, help=f"held-out evaluations without improvement before an "
                                                     f"iteration's training stops and keeps its best weights "
                                                     f"(default {LOOP_PATIENCE}: never, every step is kept)")
    group.add_argument("--eval-games", type=int, help=f"default {defaults_loop.eval_games}")
    group.add_argument("--match-simulations", dest="eval_simulations", type=int,
                       help="simulations of the search in the evaluation matches (0: greedy on the policy; "
                            "default: --sims)")
    add_deprecated_alias(group, "--eval-simulations", "--match-simulations",
                         {"dest": "eval_simulations", "type": int})
    group.add_argument("--promotion-margin", type=float,
                       help=f"what the candidate must earn above the fair 0.25 against the current network "
                            f"(H0 of the promotion test; negative: promote every candidate; default "
                            f"{defaults_loop.promotion_margin})")
    group.add_argument("--promotion-p1", type=float,
                       help=f"mean payoff against the current network that the promotion test accepts as "
                            f"better (H1; default {defaults_loop.promotion_p1})")
    group.add_argument("--promotion-alpha", type=float,
                       help=f"error rate of the promotion test, either way (default {defaults_loop.promotion_alpha})")
    group.add_argument("--promotion-batch", type=int,
                       help=f"head-to-head games played between looks at the promotion test, at most "
                            f"--eval-games in all (default {defaults_loop.promotion_batch})")
    group.add_argument("--checkpoint-every", type=int, help=f"default {defaults_loop.checkpoint_every}")
    group.add_argument("--fixed-players", metavar="LIST",
                       help="reference players each candidate plays in every seat in turn, as a measure of "
                            "progress: all, none or a comma-separated list of random-tiles, random-piece, "
                            f"largest-piece, heuristic (default {defaults_loop.fixed_players})")
    group.add_argument("--channels", type=int, help=f"default {defaults_loop.channels}")
    group.add_argument("--blocks", type=int, help=f"default {defaults_loop.blocks}")
    group.add_argument("--batch-size", type=int, help=f"default {defaults_train.batch_size}")
    group.add_argument("--lr", type=float, help=f"default {defaults_train.learning_rate}")
    group.add_argument("--weight-decay", type=float, help=f"default {defaults_train.weight_decay}")
    group.add_argument("--warmup-steps", type=int, help=f"default {defaults_train.warmup_steps}")
    group.add_argument("--seed", type=int, help=f"default {defaults_train.seed}")
    group.add_argument("--score-loss-weight", type=float,
                       help=f"weight of the score head's loss, the final cells of every player "
                            f"(0: value and policy only; default {defaults_train.score_loss_weight})")
    # Unset engine options mean "the saved value" on a resume, so they default to None here too.
    parser.set_defaults(**{dest: None for section, _, _, dest in SETTINGS if section == "engine"})
    PoolSettings.add_arguments(parser)
    SearchSettings.add_arguments(parser)


def given_settings(args: argparse.Namespace) -> dict:
    """The run settings named on the command line, by field: {(section, field): (option, value)}."""
    return {(section, name): (option, getattr(args, dest)) for section, name, option, dest in SETTINGS
            if getattr(args, dest) is not None}


def config_from_args(args: argparse.Namespace) -> RunConfig:
    """A new run's settings: the options given, the defaults for the rest; raises UsageError
    naming the first option whose value cannot work."""
    given = {key: value for key, (_, value) in given_settings(args).items()}
    engine_defaults, loop_defaults, train_defaults = asdict(EngineConfig()), asdict(LoopConfig()), TrainConfig()
    engine_values = {name: given.get(("engine", name), default) for name, default in engine_defaults.items()}
    try:
        engine = EngineConfig(**engine_values)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from error
    loop = LoopConfig(**{name: given.get(("loop", name), default) for name, default in loop_defaults.items()})
    for option, value, least in (
        ("--iterations", loop.iterations, 1), ("--games", loop.games_per_iteration, 1),
        ("--games-per-shard", loop.games_per_shard, 1), ("--window", loop.window, 1),
        ("--window-positions", loop.window_positions, 0),
        ("--steps", given.get(("loop", "steps_per_iteration")), 1), ("--eval-games", loop.eval_games, 1),
        ("--checkpoint-every", loop.checkpoint_every, 0), ("--channels", loop.channels, 2),
        ("--blocks", loop.blocks, 0), ("--promotion-batch", loop.promotion_batch, 1),
        ("--match-simulations", loop.eval_simulations, 0),
    ):
        at_least(option, value, least)
    check_promotion(loop)
    check_fixed_players(loop)
    if not (loop.sample_reuse > 0 and math.isfinite(loop.sample_reuse)):
        raise UsageError(f"--sample-reuse must be a positive number, got {loop.sample_reuse}")
    within("--holdout-fraction", loop.holdout_fraction, 0.0, 0.9)
    train = TrainConfig(
        batch_size=given.get(("train", "batch_size"), train_defaults.batch_size),
        learning_rate=given.get(("train", "learning_rate"), train_defaults.learning_rate),
        weight_decay=given.get(("train", "weight_decay"), train_defaults.weight_decay),
        warmup_steps=given.get(("train", "warmup_steps"), train_defaults.warmup_steps),
        # With steps from the reuse target each iteration sets the schedule's length (see TrainingLoop.train).
        schedule_steps=loop.iterations * loop.steps_per_iteration,
        seed=given.get(("train", "seed"), train_defaults.seed),
        eval_every=given.get(("train", "eval_every"), train_defaults.eval_every),
        patience=given.get(("train", "patience"), LOOP_PATIENCE),
        score_loss_weight=given.get(("train", "score_loss_weight"), train_defaults.score_loss_weight),
    )
    at_least("--batch-size", train.batch_size, 1)
    at_least("--weight-decay", train.weight_decay, 0)
    at_least("--warmup-steps", train.warmup_steps, 0)
    at_least("--eval-every", train.eval_every, 1)
    at_least("--patience", train.patience, 0)
    at_least("--score-loss-weight", train.score_loss_weight, 0)
    if not train.learning_rate > 0:
        raise UsageError(f"--lr must be positive, got {train.learning_rate}")
    try:
        search = SearchSettings.from_args(args)
    except ValueError as error:
        raise UsageError(str(error)) from error
    return RunConfig(engine=engine.to_dict(), train=train, loop=loop, search=search.to_dict())


def resumed_config(run_dir: Path, saved: RunConfig, args: argparse.Namespace) -> RunConfig:
    """The saved settings with the adjustable ones the command line changes; refuses any other
    change, naming the options and their saved values."""
    conflicts, changed = [], {}
    sections = {"engine": saved.engine, "loop": asdict(saved.loop), "train": asdict(saved.train)}
    for (section, name), (option, value) in given_settings(args).items():
        saved_value = sections[section].get(name)
        if value == saved_value:
            continue
        if name in ADJUSTABLE:
            changed[name] = value
        else:
            conflicts.append(f"{option} {value} (saved: {saved_value})")
    conflicts += search_conflicts(SearchSettings.from_dict(saved.search), args)
    if conflicts:
        raise UsageError(f"{run_dir} was started with other settings: {', '.join(conflicts)}; leave these options "
                         f"out to resume it, or start a new run in another directory")
    if not changed:
        return saved
    for name, least in (("iterations", 1), ("eval_games", 1), ("checkpoint_every", 0), ("promotion_batch", 1),
                        ("eval_simulations", 0)):
        at_least(OPTIONS[name], changed.get(name), least)
    loop = replace(saved.loop, **changed)
    check_promotion(loop)
    check_fixed_players(loop)
    return RunConfig(engine=saved.engine, train=saved.train, loop=loop, search=saved.search)


def search_conflicts(saved: SearchSettings, args: argparse.Namespace) -> list[str]:
    """The search options of a resume that differ from the run's saved search. An option at its
    default counts as left out, since the parser cannot tell the two apart."""
    defaults, given = SearchSettings(), SearchSettings.from_args(args)
    conflicts = []
    for name, value in asdict(given).items():
        if value != getattr(defaults, name) and value != getattr(saved, name):
            conflicts.append(f"--{name.replace('_', '-')} {value} (saved: {getattr(saved, name)})")
    return conflicts


def check_promotion(loop: LoopConfig) -> None:
    """Refuses promotion settings the sequential test cannot work with."""
    try:
        promotion_test(loop)
    except ValueError as error:
        raise UsageError(f"--promotion-margin, --promotion-p1, --promotion-alpha: {error}") from error


def check_fixed_players(loop: LoopConfig) -> None:
    from .players.reference import parse_players

    try:
        parse_players(loop.fixed_players)
    except ValueError as error:
        raise UsageError(str(error)) from error


def save_run_config(dirs: RunDirectory, config: RunConfig) -> None:
    """Writes the run's settings: config.json, which the run resumes from, and config.toml, the
    same settings keyed by option, which `loop --config` reads to start another run like it."""
    from .base.config_file import toml_text

    write_json_atomic(dirs.config, config.to_dict())
    sections = {"engine": config.engine, "loop": asdict(config.loop), "train": asdict(config.train)}
    toml = {section: {} for section in ("engine", "search", "loop", "train")}
    for section, name, option, _ in SETTINGS:
        # steps_per_iteration 0 means "from --sample-reuse", which --steps says by its absence.
        if (name, sections[section].get(name)) != ("steps_per_iteration", 0):
            toml[section][option.lstrip("-")] = sections[section].get(name)
    for setting in SEARCH.settings:
        toml["search"][setting.option_name.lstrip("-")] = config.search.get(setting.name, setting.default)
    text = toml_text(toml, [f"The settings of {dirs.root}, for tavlox-zero loop --config."])
    with atomic_write(dirs.config_toml, "w") as file:
        file.write(text)


def read_run_config(path: Path) -> Optional[RunConfig]:
    """A run directory's saved settings, or None when it holds none."""
    try:
        return RunConfig.from_dict(json.loads(path.read_text()))
    except FileNotFoundError:
        return None
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        raise CommandFailed(f"{path}: not a readable run configuration ({error}); "
                            f"repair it or start a new run in another directory") from error


def run(args: argparse.Namespace) -> int:
    try:
        pool = PoolSettings.from_args(args)
    except (TypeError, ValueError, RuntimeError) as error:
        raise UsageError(str(error)) from error
    if args.minutes is not None and not (args.minutes > 0 and math.isfinite(args.minutes)):
        raise UsageError(f"--minutes must be a positive number, got {args.minutes}")
    dirs = RunDirectory(args.run_dir)
    if dirs.root.exists() and not dirs.root.is_dir():
        raise UsageError(f"{dirs.root} is not a directory: name a run directory")
    saved = read_run_config(dirs.config)
    config = config_from_args(args) if saved is None else resumed_config(dirs.root, saved, args)
    writable_directory(dirs.root, "run directory")
    torch.set_num_threads(pool.threads)
    if saved is None:
        loop = TrainingLoop.open(args.run_dir, config, pool)
    else:
        loop = TrainingLoop(args.run_dir, config, pool)
        if config is not saved:
            save_run_config(dirs, config)
        print(f"resuming {args.run_dir} after iteration {loop.state()['completed_iterations']} with its saved settings")
    loop.run(minutes=args.minutes)
    print(f"done: {loop.dirs.metrics}, {loop.dirs.plot}")
    return 0
