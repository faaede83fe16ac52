"""The trainer's and the loop's settings, each defined once in a Schema: TrainConfig (how the
network is trained, saved in every checkpoint), LoopConfig (how a loop run plays, trains and
promotes) and RunConfig (a run's saved config.json: the engine's, the search's, the training's
and the loop's settings). Importing this module imports no torch.

A setting flagged `resumable` may change when a run resumes (it alters none of the games,
shards or training done so far); ADJUSTABLE and the loop's resume help follow from the flags.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass, field
from typing import Any, Mapping, Optional

from ..base.settings import Schema, Setting, settings_dataclass
from ..engine.constants import FAIR_SHARE
from ..engine.engine_config import SCHEMA as ENGINE, EngineConfig
from ..engine.search_settings import SearchSettings
from ..rating.sprt import SequentialTest
from ..players.reference import parse_players

TRAIN = Schema("training", (
    Setting("batch_size", int, 256, min=1, help="positions per training step (default {default})"),
    Setting("learning_rate", float, 2e-3, min=0, min_exclusive=True, finite=True, option="--lr", metavar="LR",
            help="peak learning rate (default {default})"),
    Setting("weight_decay", float, 1e-4, min=0, help="AdamW weight decay of weight matrices and kernels "
                                                     "(default {default})"),
    Setting("warmup_steps", int, 100, min=0, help="steps of the linear learning-rate warmup (default {default})"),
    # Length of the warmup + cosine schedule; the rate stays at the floor after it. The train
    # command's --schedule-steps gives it (0 or left out: --steps); the loop derives it.
    Setting("schedule_steps", int, 10_000, min=0, option=None),
    Setting("min_lr_fraction", float, 0.05, min=0, max=1,
            help="the learning rate's floor, as a share of the peak (default {default})"),
    Setting("grad_clip", float, 1.0, min=0, min_exclusive=True, finite=True,
            help="largest gradient norm (default {default})"),
    Setting("value_loss_weight", float, 1.0, min=0, help="weight of the value loss (default {default})"),
    Setting("score_loss_weight", float, 1.0, min=0,
            help="weight of the score head's loss, the final cells of every player (0: value and policy "
                 "only; a network without a score head ignores it; default {default})"),
    Setting("seed", int, 0, help="seed of the network's initial weights and of the data order (default {default})"),
    # With held-out positions: steps between their evaluations, and evaluations without a
    # lower held-out loss before the training stops (0: never stops early).
    Setting("eval_every", int, 25, min=1, help="steps between held-out evaluations (default {default})"),
    Setting("patience", int, 4, min=0,
            help="held-out evaluations without improvement before the training stops and keeps its best "
                 "weights (0: never, every step is kept; default {default})"),
), what="training settings")


@settings_dataclass(TRAIN)
class TrainConfig:
    def __post_init__(self) -> None:
        for name, value in TRAIN.validate(asdict(self)).items():
            setattr(self, name, value)

    def to_dict(self) -> dict:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: Optional[Mapping[str, Any]]) -> "TrainConfig":
        """The settings of a saved dict (a checkpoint's train_config); missing keys keep their
        defaults, unknown ones are refused."""
        return cls(**TRAIN.known(values))


LOOP = Schema("loop", (
    Setting("iterations", int, 10, min=1, resumable=True, help="iterations to reach (default {default})"),
    Setting("games_per_iteration", int, 64, min=1, option="--games", metavar="GAMES",
            help="self-play games per iteration (default {default})"),
    Setting("games_per_shard", int, 32, min=1, help="self-play games per shard (default {default})"),
    # Training data: the newest shards until they hold window_positions positions (0: no
    # limit), from the last `window` iterations at most.
    Setting("window", int, 20, min=1, help="most iterations of shards trained on (default {default})"),
    Setting("window_positions", int, 100_000, min=0,
            help="positions trained on: the newest shards until they hold this many (0: all in --window; "
                 "default {default})"),
    # Steps per iteration; 0: ceil(sample_reuse * new training positions / batch size).
    Setting("steps_per_iteration", int, 0, min=0, option="--steps", metavar="STEPS",
            help="training steps per iteration (default 0: from --sample-reuse)"),
    Setting("sample_reuse", float, 4.0, min=0, min_exclusive=True, finite=True,
            help="times each new training position is drawn on average, which sets the steps (default {default})"),
    Setting("td_lambda", float, 1.0, min=0, max=1, resumable=True,
            help="value targets: 1 is the game's payoff; below 1, TD(λ) returns that mix it with the network's "
                 "values of the positions that followed, λ per decision (default {default})"),
    Setting("value_temperature", float, 0.0, min=0, finite=True, resumable=True,
            help="value targets: 0 is the game's payoff (the winners share 1); above 0, a softmax of the "
                 "players' final cells over this temperature, which also rewards margins (default {default})"),
    Setting("search_value_weight", float, 0.0, min=0, max=1, resumable=True,
            help="value targets: the share taken from the search's mean leaf value at each position (with "
                 "--rollout-weight, play-outs included), the rest from the game's outcome (default {default})"),
    Setting("search_value_weight_final", float, optional=True, min=0, max=1, resumable=True, metavar="A",
            help="value targets: the search's share at the run's last iteration, reached linearly from "
                 "--search-value-weight at the first (default: --search-value-weight throughout)"),
    Setting("holdout_fraction", float, 0.1, min=0, max=0.9,
            help="share of the games kept out of training to measure it and stop early (default {default})"),
    Setting("eval_games", int, 100, min=1, resumable=True,
            help="games of each evaluation match (default {default})"),
    # Simulations of the evaluation matches' search; 0: greedy on the policy; None: the run's sims.
    Setting("eval_simulations", int, optional=True, min=0, resumable=True, option="--match-simulations",
            aliases=("--eval-simulations",),
            help="simulations of the search in the evaluation matches (0: greedy on the policy; default: --sims)"),
    # Every candidate is promoted by default: with the default test a 32-game evaluation
    # decided nothing in 12 iterations, and the undecided test kept the untrained network.
    Setting("promotion_margin", float, -1.0, finite=True, resumable=True,
            help="what the candidate must earn above the fair 0.25 against the current network (H0 of the "
                 "promotion test; negative: promote every candidate, the match still played and recorded; "
                 "default {default})"),
    Setting("promotion_p1", float, 0.30, finite=True, resumable=True,
            help="mean payoff against the current network that the promotion test accepts as better "
                 "(H1; default {default})"),
    Setting("promotion_alpha", float, 0.05, finite=True, resumable=True,
            help="error rate of the promotion test, either way (default {default})"),
    Setting("promotion_batch", int, 48, min=1, resumable=True,
            help="head-to-head games played between looks at the promotion test, at most --eval-games in all "
                 "(default {default})"),
    Setting("checkpoint_every", int, 100, min=0, resumable=True,
            help="training steps between checkpoints (0: only at the end; default {default})"),
    # The fixed reference players each candidate is measured against, seats rotated.
    Setting("fixed_players", str, "all", resumable=True, metavar="LIST",
            help="reference players each candidate plays in every seat in turn, as a measure of progress: "
                 "all, none or a comma-separated list of random-tiles, random-piece, largest-piece, heuristic "
                 "(default {default})"),
    Setting("channels", int, 32, min=2, help="width of a new network (default {default})"),
    Setting("blocks", int, 3, min=0, help="residual blocks of a new network (default {default})"),
), what="loop settings")


def promotion_test(loop: "LoopConfig") -> SequentialTest:
    """The sequential test of a candidate's head-to-head match against the current network."""
    p0 = FAIR_SHARE + max(loop.promotion_margin, 0.0)
    return SequentialTest(p0=p0, p1=loop.promotion_p1, alpha=loop.promotion_alpha, beta=loop.promotion_alpha)


@settings_dataclass(LOOP)
class LoopConfig:
    def __post_init__(self) -> None:
        for name, value in LOOP.validate(asdict(self)).items():
            setattr(self, name, value)
        try:
            promotion_test(self)
        except ValueError as error:
            raise ValueError(f"--promotion-margin, --promotion-p1, --promotion-alpha: {error}") from error
        parse_players(self.fixed_players)
        if self.td_lambda < 1 and max(self.search_value_weight, self.search_value_weight_final or 0) > 0:
            raise ValueError("--td-lambda and --search-value-weight each set the value targets: give one of them")

    def to_dict(self) -> dict:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: Optional[Mapping[str, Any]]) -> "LoopConfig":
        return cls(**LOOP.known(values))


# A loop keeps every training step: see training/loop.py's docstring. Its held-out losses are
# then only reported, so they are measured a few times per iteration rather than every 25
# steps, which cost about as much as the training steps themselves.
LOOP_TRAIN_DEFAULTS = {"patience": 0, "eval_every": 250}
# The settings a run saved before them started with; a run without them resumes as it started.
BEFORE_TRAINING_SETTINGS = {"window_positions": 0, "sample_reuse": 1.5, "holdout_fraction": 0.0, "eval_simulations": 0}
# The training settings a loop's options set (the others keep TrainConfig's defaults).
LOOP_TRAINING = ("batch_size", "learning_rate", "weight_decay", "warmup_steps", "seed", "eval_every", "patience",
                 "value_loss_weight", "score_loss_weight")
SECTIONS = ("engine", "train", "loop", "search")


@dataclass
class RunConfig:
    engine: dict
    train: TrainConfig
    loop: LoopConfig
    search: dict = field(default_factory=lambda: SearchSettings().to_dict())  # how self-play searches

    def to_dict(self) -> dict:
        return {"engine": self.engine, "train": asdict(self.train), "loop": asdict(self.loop), "search": self.search}

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> "RunConfig":
        """A run's saved settings; an unknown section or key is refused by name."""
        unknown = sorted(set(values) - set(SECTIONS))
        if unknown:
            raise ValueError(f"unknown run configuration sections: {', '.join(unknown)}")
        EngineConfig.from_dict(values["engine"])
        return cls(
            engine=dict(values["engine"]),
            train=TrainConfig.from_dict(values["train"]),
            loop=LoopConfig(**{**BEFORE_TRAINING_SETTINGS, **LOOP.known(values["loop"])}),
            search=SearchSettings.from_dict(values.get("search")).to_dict(),
        )

    def sections(self) -> dict:
        return {"engine": self.engine, "loop": asdict(self.loop), "train": asdict(self.train)}


# The settings a run saves that the loop's options set: (section of config.json, setting).
RUN_SETTINGS = (*(("engine", s) for s in ENGINE.settings), *(("loop", s) for s in LOOP.settings),
                *(("train", TRAIN[name]) for name in LOOP_TRAINING))
# Settings a resumed run may change: those flagged resumable.
ADJUSTABLE = frozenset(s.name for _, s in RUN_SETTINGS if s.resumable)


def adjustable_options() -> list[str]:
    """The options of the settings a resumed run may change, in the order of RUN_SETTINGS."""
    return [s.option_name for _, s in RUN_SETTINGS if s.resumable]
