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
A negative margin, the default, promotes every candidate (the match is still played and
recorded): with margin 0 and 32 evaluation games the test decided nothing in 12 iterations.
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
from dataclasses import asdict, dataclass, replace
from datetime import datetime, timezone
from pathlib import Path
from typing import Callable, Optional

import torch

from .base.atomic import atomic_write, copy_atomic, write_json_atomic
from .engine.engine_config import EngineConfig
from .engine.engine_config import add_arguments as add_engine_arguments
from .base.errors import CommandFailed, UsageError, writable_directory
from .evaluate import against_random
from .plotting import plot_progress
from .pool_options import PoolSettings, open_pool
from .training.scalars import ScalarLog
from .base.settings import Setting, add_option
from .engine.search_settings import SEARCH, MatchSettings, SearchSettings
from .rating.sprt import ACCEPT_H1, SequentialTest
from .rating.stats import summarize_payoffs
from .train import Subset, Trainer, dataset_key, holdout_key, split_positions
from .training.settings import (ADJUSTABLE, LOOP, LOOP_PATIENCE, LOOP_TRAINING, RUN_SETTINGS, TRAIN, LoopConfig,
                                RunConfig, TrainConfig, adjustable_options, promotion_test)

HELP = "run iterations of self-play, training and evaluation in a run directory"


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
        from .reference import parse_players, rotated_games

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


MINUTES = Setting("minutes", float, optional=True, min=0, min_exclusive=True, finite=True,
                  help="time budget of this invocation: an iteration that would end past it at the pace of the "
                       "last one is shrunk to fit (fewer games and steps), and none starts when less than a "
                       "quarter of one fits (not saved; the run resumes where it stopped)")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("run_dir", type=Path, help="directory of the run (created, or resumed when it exists)")
    add_engine_arguments(parser)
    group = parser.add_argument_group(
        f"loop (a resumed run keeps its saved settings; only {', '.join(adjustable_options())} may change)")
    add_option(group, MINUTES, None)
    # Unset options mean "the saved value" on a resume, so they default to None.
    LOOP.add_arguments(parser, group=group, unset=True)
    TRAIN.add_arguments(parser, defaults={"patience": LOOP_PATIENCE}, group=group, only=LOOP_TRAINING, unset=True)
    parser.set_defaults(**{setting.name: None for section, setting in RUN_SETTINGS if section == "engine"})
    PoolSettings.add_arguments(parser)
    SearchSettings.add_arguments(parser)


def given_settings(args: argparse.Namespace) -> dict:
    """The run settings named on the command line, by field: {(section, field): (option, value)}."""
    return {(section, setting.name): (setting.option_name, getattr(args, setting.name))
            for section, setting in RUN_SETTINGS if getattr(args, setting.name) is not None}


def config_from_args(args: argparse.Namespace) -> RunConfig:
    """A new run's settings: the options given, the defaults for the rest; raises UsageError
    naming the first option whose value cannot work."""
    given = {key: value for key, (_, value) in given_settings(args).items()}
    try:
        engine = EngineConfig(**{name: given.get(("engine", name), default)
                                 for name, default in asdict(EngineConfig()).items()})
        loop = LoopConfig(**{name: given[("loop", name)] for name in LOOP.names if ("loop", name) in given})
        # With steps from the reuse target each iteration sets the schedule's length (see TrainingLoop.train).
        train = TrainConfig(**{**TRAIN.defaults(), "patience": LOOP_PATIENCE,
                               **{name: value for (section, name), value in given.items() if section == "train"},
                               "schedule_steps": loop.iterations * loop.steps_per_iteration})
        search = SearchSettings.from_args(args)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from error
    return RunConfig(engine=engine.to_dict(), train=train, loop=loop, search=search.to_dict())


def resumed_config(run_dir: Path, saved: RunConfig, args: argparse.Namespace) -> RunConfig:
    """The saved settings with the adjustable ones the command line changes; refuses any other
    change, naming the options and their saved values."""
    conflicts, changed = [], {}
    sections = saved.sections()
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
    try:
        loop = replace(saved.loop, **changed)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from error
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


def save_run_config(dirs: RunDirectory, config: RunConfig) -> None:
    """Writes the run's settings: config.json, which the run resumes from, and config.toml, the
    same settings keyed by option, which `loop --config` reads to start another run like it."""
    from .base.config_file import toml_text

    write_json_atomic(dirs.config, config.to_dict())
    sections = config.sections()
    toml = {section: {} for section in ("engine", "search", "loop", "train")}
    for section, setting in RUN_SETTINGS:
        # steps_per_iteration 0 means "from --sample-reuse", which --steps says by its absence.
        value = sections[section].get(setting.name)
        if (setting.name, value) != ("steps_per_iteration", 0):
            toml[section][setting.option_name.lstrip("-")] = value
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
    try:
        MINUTES.check(args.minutes, MINUTES.option_name)
    except ValueError as error:
        raise UsageError(str(error)) from error
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
