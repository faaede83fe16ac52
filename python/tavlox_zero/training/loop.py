"""The whole training loop: self-play, training, evaluation, promotion (run by the `loop` command, commands/loop.py).

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
older than `window` iterations), minus the held-out games (see batches.py and held_out.py), a
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

import contextlib
import os
import time
from pathlib import Path
from typing import Callable, Optional

import torch

from ..base.atomic import copy_atomic, write_json_atomic
from ..engine.engine_config import EngineConfig
from ..engine.search_settings import MatchSettings, SearchSettings
from ..players.matches import against_random
from ..nets import network
from ..players.pool_options import PoolSettings, open_players
from .evaluation_phase import EvaluationPhase, beats_current, evaluation_match  # noqa: F401
from .pace import PacePlanning, iteration_scale, iterations_left
from .run_directory import Bookkeeping, RunDirectory, read_json, read_run_config, save_run_config  # noqa: F401
from .scalars import ScalarLog
from .selfplay_phase import SelfPlayPhase
from .settings import LoopConfig, RunConfig  # noqa: F401
from .train_phase import TrainingPhase, newest_shards  # noqa: F401
from .trainer import Trainer


class TrainingLoop(SelfPlayPhase, TrainingPhase, EvaluationPhase, PacePlanning, Bookkeeping):
    """A run of iterations in its directory; each phase is a base class of its own."""

    def __init__(
        self, run_dir: os.PathLike | str, config: RunConfig, pool: PoolSettings, log: Callable[[str], None] = print
    ) -> None:
        self.dirs = RunDirectory(run_dir)
        self.config = config
        self.pool = pool.resolved()
        self.log = log
        self._ray_player = None
        self.scalars = ScalarLog(self.dirs.tensorboard)
        # The value estimates of the window's shards, by path, for TD(λ) value targets.
        self.value_estimates: dict = {}
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

    def initialise(self) -> None:
        if self.state()["completed_iterations"] >= 0:
            return
        initial = self.dirs.candidate(0)
        if not initial.exists():
            model = network.new_model(self.config.train.seed, channels=self.config.loop.channels,
                                      blocks=self.config.loop.blocks)
            Trainer(model, self.config.train).save(initial, engine_config=self.config.engine)
        for path in (self.dirs.current, self.dirs.trainer):
            if not path.exists():
                copy_atomic(initial, path)
        record = read_json(self.dirs.record(0), {"iteration": 0})
        if "evaluation" not in record:
            started = time.monotonic()
            with self.open_players({"model": self.load(initial)}, match=evaluation_match(self.config)) as pool:
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

    def open_players(self, networks: dict, match: Optional[MatchSettings] = None):
        networks = {name: model.eval() for name, model in networks.items()}
        if self.pool.ray is None:
            return open_players(networks, self.pool, search=SearchSettings.from_dict(self.config.search), match=match)
        # On Ray the actors live as long as the loop: each step sends them its networks.
        if self._ray_player is None:
            self._ray_player = open_players(networks, self.pool, search=SearchSettings.from_dict(self.config.search))
        else:
            self._ray_player.update_networks(networks)
        self._ray_player.match = match or MatchSettings()
        return contextlib.nullcontext(self._ray_player)

    @staticmethod
    def load(path: Path) -> torch.nn.Module:
        return network.load_checkpoint(path)[0]
