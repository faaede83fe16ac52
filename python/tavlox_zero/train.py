"""Training the policy-value network on self-play shards (the `train` command).

Losses, per position:
* policy: cross-entropy of the policy logits over all dim² tiles against the
  dense visit fractions (zero off the tiles the search listed), and
* value: cross-entropy of the four value logits against the payoffs in the
  view of the player to move (entry 0 is the mover's payoff), and
* score, for a network with a score head: the squared error of its four
  predicted final cell shares, summed over the players (see dataset).

The optimiser is AdamW (weight decay on weight matrices and kernels only),
the learning rate warms up linearly and then follows a cosine down to a floor,
gradients are clipped by norm, and on CUDA the forward pass runs under
autocast with a gradient scaler.

Resuming is exact: a checkpoint holds the model, optimiser, scheduler, scaler,
step, the torch random state and the position in the data. The data order is
a function of the seed, the set of shards and the epoch alone, so a resumed
run draws the very batches an uninterrupted one would have drawn.

Held-out games: whole games, chosen by a hash of (shard file name, game index),
can be kept out of training (split_positions). The trainer then measures the
held-out losses (evaluation mode, no gradients) before its first step on the
data and every `eval_every` steps, keeps the weights of the lowest held-out
total loss, stops after `patience` evaluations without a lower one, and ends
with those best weights; their copy and the evaluations so far are part of the
checkpoint, so this path resumes exactly too. The total loss, not the value
loss alone, picks the weights: the policy usually still improves while the
value head starts to memorise, and the total weighs both as training does.
For reference each evaluation also gives the value loss of a constant
prediction, the held-out positions' mean value target.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import threading
import time
import zlib
from dataclasses import asdict, dataclass, field, fields
from pathlib import Path
from typing import Callable, Optional, Sequence

import numpy as np
import torch
import torch.nn.functional as F

from .base.errors import UsageError, at_least, readable_file, within, writable_directory, writable_file
from .training.scalars import ScalarLog

HELP = "train the policy-value network on self-play shards"

LOSS_NAMES = ("loss", "policy_loss", "value_loss", "score_loss")


@dataclass
class TrainConfig:
    batch_size: int = 256
    learning_rate: float = 2e-3
    weight_decay: float = 1e-4
    warmup_steps: int = 100
    # Length of the warmup + cosine schedule; the rate stays at the floor after it.
    schedule_steps: int = 10_000
    min_lr_fraction: float = 0.05
    grad_clip: float = 1.0
    value_loss_weight: float = 1.0
    score_loss_weight: float = 1.0
    seed: int = 0
    # With held-out positions: steps between their evaluations, and evaluations without a
    # lower held-out loss before the training stops (0: never stops early).
    eval_every: int = 25
    patience: int = 4

    @classmethod
    def from_dict(cls, values: dict) -> "TrainConfig":
        known = {f.name for f in fields(cls)}
        return cls(**{k: v for k, v in values.items() if k in known})


def policy_loss(policy_logits: torch.Tensor, target: torch.Tensor) -> torch.Tensor:
    """Mean over the batch of −Σ target · log_softmax(logits) over all tiles."""
    log_probs = F.log_softmax(policy_logits.float(), dim=1)
    return -(target * log_probs).sum(dim=1).mean()


def value_loss(value_logits: torch.Tensor, target: torch.Tensor) -> torch.Tensor:
    """Mean over the batch of −Σ payoff · log_softmax(value logits), mover's view."""
    log_probs = F.log_softmax(value_logits.float(), dim=1)
    return -(target * log_probs).sum(dim=1).mean()


def score_loss(predicted: Optional[torch.Tensor], target: Optional[torch.Tensor]) -> torch.Tensor:
    """Mean over the batch of the squared errors of the final cell shares, summed over players;
    zero for a network without a score head or data without score targets."""
    if predicted is None or target is None:
        return torch.zeros(())
    return (predicted.float() - target).square().sum(dim=1).mean()


def warmup_cosine(config: TrainConfig) -> Callable[[int], float]:
    """Learning-rate factor of a step: linear warmup, cosine decay, then a floor."""
    warmup = max(0, config.warmup_steps)
    decay = max(1, config.schedule_steps - warmup)
    floor = config.min_lr_fraction

    def factor(step: int) -> float:
        if step < warmup:
            return (step + 1) / warmup
        progress = min(1.0, (step - warmup) / decay)
        return floor + (1.0 - floor) * 0.5 * (1.0 + math.cos(math.pi * progress))

    return factor


def parameter_groups(model: torch.nn.Module, weight_decay: float) -> list[dict]:
    """Decay weight matrices and kernels; leave biases and normalisation scales alone."""
    decayed, plain = [], []
    for parameter in model.parameters():
        if parameter.requires_grad:
            (decayed if parameter.dim() > 1 else plain).append(parameter)
    return [
        {"params": decayed, "weight_decay": weight_decay},
        {"params": plain, "weight_decay": 0.0},
    ]


def dataset_key(paths: Sequence[os.PathLike | str]) -> str:
    """Names the data a run trains on, so a resume can tell whether it is the same."""
    parts = []
    for path in paths:
        p = Path(path)
        parts.append(f"{p.name}:{p.stat().st_size}")
    return "|".join(parts)


class ShuffledBatches:
    """Batches of item indices, reshuffled every epoch by a seeded permutation.

    Batch number b of the run is batch b mod per_epoch of epoch b div per_epoch;
    a short last batch of an epoch is dropped unless the data holds fewer items
    than one batch, in which case every batch is the whole (shuffled) data.
    """

    def __init__(self, num_items: int, batch_size: int, seed: int) -> None:
        if num_items <= 0:
            raise ValueError("the training data holds no positions")
        self.num_items = num_items
        self.batch_size = min(batch_size, num_items)
        self.per_epoch = num_items // self.batch_size
        self.seed = seed
        self._epoch = -1
        self._order = torch.empty(0, dtype=torch.long)

    def batch(self, number: int) -> torch.Tensor:
        epoch, index = divmod(number, self.per_epoch)
        if epoch != self._epoch:
            generator = torch.Generator().manual_seed(self.seed * 1_000_003 + epoch)
            self._order = torch.randperm(self.num_items, generator=generator)
            self._epoch = epoch
        start = index * self.batch_size
        return self._order[start : start + self.batch_size]


def gather(dataset, indices: torch.Tensor) -> tuple:
    """One batch of (planes, policy, value, scores or None); uses the data set's own batch
    gathering if it has one, and its score targets if it has them."""
    if hasattr(dataset, "targets"):
        return dataset.targets(indices.numpy())
    if hasattr(dataset, "batch"):
        batch = dataset.batch(indices.numpy())
        scores = dataset.scores(indices.numpy()) if hasattr(dataset, "scores") else None
        return (*batch, scores)
    return (*collate([dataset[int(i)] for i in indices]), None)


def collate(items: Sequence[tuple]) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
    planes, policies, values = zip(*items)
    return tuple(
        torch.stack([torch.as_tensor(x, dtype=torch.float32) for x in group]) for group in (planes, policies, values)
    )


def held_out(shard_name: str, game: int, fraction: float) -> bool:
    """Whether a game is held out of training: a hash of its shard's file name and its index
    decides, so a game is held out or trained on the same way in every window and process."""
    return zlib.crc32(f"{shard_name}#{game}".encode()) < fraction * 2**32


def split_positions(dataset, fraction: float) -> tuple[np.ndarray, np.ndarray]:
    """(training, held-out) item indices of a TrainingDataset; whole games are held out (see held_out)."""
    if fraction <= 0:
        return np.arange(len(dataset)), np.zeros(0, dtype=np.int64)
    owners = dataset.position_games()
    out = np.zeros(len(owners), dtype=bool)
    for number, path in enumerate(dataset.paths):
        mine = np.flatnonzero(owners[:, 0] == number)
        if len(mine):
            games = owners[mine, 1]
            flags = np.array([held_out(Path(path).name, g, fraction) for g in range(games.max() + 1)])
            out[mine] = flags[games]
    return np.flatnonzero(~out), np.flatnonzero(out)


class Subset:
    """The items `indices` of a data set, as a data set of their own."""

    def __init__(self, dataset, indices: Sequence[int] | np.ndarray) -> None:
        self.dataset = dataset
        self.indices = np.asarray(indices, dtype=np.int64)

    def __len__(self) -> int:
        return len(self.indices)

    def targets(self, indices) -> tuple:
        return gather(self.dataset, torch.as_tensor(self.indices[np.asarray(indices, dtype=np.int64)]))


@dataclass
class DataPosition:
    """Where a run stands in one data set, the losses summed over it so far, and its
    held-out evaluations (`best`: the index of the lowest total loss; `stopped`: early)."""

    key: str = ""
    batches: int = 0
    loss_sums: dict = field(default_factory=lambda: {name: 0.0 for name in LOSS_NAMES})
    evaluations: list = field(default_factory=list)
    best: int = -1
    stopped: bool = False

    def mean_losses(self) -> dict:
        if self.batches == 0:
            return {name: math.nan for name in LOSS_NAMES}
        return {name: total / self.batches for name, total in self.loss_sums.items()}

    def held_out_summary(self) -> Optional[dict]:
        """The held-out losses of the first, best and last evaluation; None without evaluations."""
        if not self.evaluations:
            return None
        return {"evaluations": len(self.evaluations), "stopped_early": self.stopped,
                "first": self.evaluations[0], "best": self.evaluations[self.best], "last": self.evaluations[-1]}


class Trainer:
    """A model with its optimiser, schedule, scaler, step count and data position."""

    def __init__(self, model: torch.nn.Module, config: TrainConfig, device: str | torch.device = "cpu") -> None:
        self.device = torch.device(device)
        self.model = model.to(self.device)
        self.config = config
        self.optimizer = torch.optim.AdamW(
            parameter_groups(self.model, config.weight_decay), lr=config.learning_rate
        )
        self.scheduler = torch.optim.lr_scheduler.LambdaLR(self.optimizer, warmup_cosine(config))
        self.use_amp = self.device.type == "cuda"
        self.scaler = torch.amp.GradScaler("cuda", enabled=self.use_amp)
        self.step = 0
        self.position = DataPosition()
        # The weights of the best held-out evaluation on the current data set.
        self.best_state: Optional[dict] = None

    @property
    def learning_rate(self) -> float:
        return self.optimizer.param_groups[0]["lr"]

    def _losses(self, planes: torch.Tensor, policy: torch.Tensor, value: torch.Tensor,
                scores: Optional[torch.Tensor]) -> dict:
        """The losses of one batch as tensors, the weighted total under "loss"."""
        planes, policy, value = (t.to(self.device, non_blocking=True) for t in (planes, policy, value))
        with torch.autocast(device_type=self.device.type, dtype=torch.float16, enabled=self.use_amp):
            if hasattr(self.model, "heads"):
                policy_logits, value_logits, predicted_scores = self.model.heads(planes)
            else:
                (policy_logits, value_logits), predicted_scores = self.model(planes), None
        losses = {
            "policy_loss": policy_loss(policy_logits, policy),
            "value_loss": value_loss(value_logits, value),
            "score_loss": score_loss(predicted_scores, None if scores is None else scores.to(self.device)).to(self.device),
        }
        losses["loss"] = losses["policy_loss"] + self.config.value_loss_weight * losses["value_loss"] \
            + self.config.score_loss_weight * losses["score_loss"]
        return losses

    def train_step(self, planes: torch.Tensor, policy: torch.Tensor, value: torch.Tensor,
                   scores: Optional[torch.Tensor] = None) -> dict:
        self.model.train()
        losses = self._losses(planes, policy, value, scores)
        loss = losses["loss"]
        if not torch.isfinite(loss):
            raise FloatingPointError(f"training loss is {loss.item()} at step {self.step}")
        self.optimizer.zero_grad(set_to_none=True)
        self.scaler.scale(loss).backward()
        self.scaler.unscale_(self.optimizer)
        torch.nn.utils.clip_grad_norm_(self.model.parameters(), self.config.grad_clip)
        self.scaler.step(self.optimizer)
        self.scaler.update()
        self.scheduler.step()
        self.step += 1
        return {name: losses[name].item() for name in LOSS_NAMES}

    @torch.no_grad()
    def evaluate(self, dataset, batch_size: int = 1024) -> dict:
        """Mean losses over ``dataset`` in evaluation mode, and the value loss of predicting
        the data's mean value target everywhere (``constant_value_loss``)."""
        self.model.eval()
        sums = {name: 0.0 for name in LOSS_NAMES}
        mean_value = torch.zeros(4, dtype=torch.float64)
        for start in range(0, len(dataset), batch_size):
            indices = torch.arange(start, min(start + batch_size, len(dataset)))
            batch = gather(dataset, indices)
            for name, value in self._losses(*batch).items():
                sums[name] += value.item() * len(indices)
            mean_value += batch[2].double().sum(dim=0)
        losses = {name: total / len(dataset) for name, total in sums.items()}
        mean_value /= len(dataset)
        losses["constant_value_loss"] = -(mean_value * mean_value.clamp_min(1e-12).log()).sum().item()
        return losses

    def _evaluate_held_out(self, holdout, log: Optional[Callable[[str], None]], scalars=None) -> None:
        losses = {"step": self.step, **self.evaluate(holdout)}
        if scalars is not None:
            scalars.add_all("held_out", losses, self.step, *LOSS_NAMES, "constant_value_loss")
        position = self.position
        position.evaluations.append(losses)
        if position.best < 0 or losses["loss"] < position.evaluations[position.best]["loss"]:
            position.best = len(position.evaluations) - 1
            self.best_state = {k: v.detach().clone() for k, v in self.model.state_dict().items()}
        elif self.config.patience and len(position.evaluations) - 1 - position.best >= self.config.patience:
            position.stopped = True
        if log:
            log(f"step {self.step}: held-out loss {losses['loss']:.4f} (policy {losses['policy_loss']:.4f}, "
                f"value {losses['value_loss']:.4f}, score {losses['score_loss']:.4f}; "
                f"constant value {losses['constant_value_loss']:.4f})"
                + (", stopping: no improvement" if position.stopped else ""))

    def train(
        self,
        dataset,
        key: str,
        until_step: int,
        checkpoint: Optional[Callable[["Trainer"], None]] = None,
        checkpoint_every: int = 0,
        log: Optional[Callable[[str], None]] = None,
        log_every: int = 0,
        checkpoint_seconds: float = 0.0,
        should_stop: Optional[Callable[[], bool]] = None,
        holdout=None,
        scalars=None,
    ) -> dict:
        """Trains on ``dataset`` until the step count reaches ``until_step``, or until
        ``should_stop`` says so between two steps.

        With ``holdout`` positions (not empty) the training is measured on them and
        stops early as the module describes; once it has finished (not when
        ``should_stop`` interrupted it) the model holds the best-evaluated weights.

        ``key`` names the data set (see dataset_key): the position in the data
        and the loss sums carry on when it matches the previous call's, and
        start afresh otherwise. ``checkpoint`` is called every ``checkpoint_every``
        steps and whenever ``checkpoint_seconds`` have passed since the last save
        (0 turns either off). ``scalars`` (a ScalarLog) receives every step's losses and
        learning rate and every held-out evaluation. Returns the mean losses over the data
        set's steps so far.
        """
        if key != self.position.key:
            self.position = DataPosition(key=key)
            self.best_state = None
        seed = zlib.crc32(f"{self.config.seed}|{key}".encode())
        batches = ShuffledBatches(len(dataset), self.config.batch_size, seed)
        measured = holdout is not None and len(holdout) > 0
        if measured and not self.position.evaluations:
            self._evaluate_held_out(holdout, log, scalars)
        last_save = time.monotonic()
        while self.step < until_step and not self.position.stopped and not (should_stop and should_stop()):
            losses = self.train_step(*gather(dataset, batches.batch(self.position.batches)))
            self.position.batches += 1
            for name, value in losses.items():
                self.position.loss_sums[name] = self.position.loss_sums.get(name, 0.0) + value
            if scalars is not None:
                scalars.add_all("train", {**losses, "learning_rate": self.learning_rate}, self.step)
            if log and log_every and self.step % log_every == 0:
                log(
                    f"step {self.step}: loss {losses['loss']:.4f} (policy {losses['policy_loss']:.4f}, "
                    f"value {losses['value_loss']:.4f}, score {losses['score_loss']:.4f}), lr {self.learning_rate:.2e}"
                )
            if measured and (self.position.batches % max(1, self.config.eval_every) == 0 or self.step >= until_step):
                self._evaluate_held_out(holdout, log, scalars)
            due = (checkpoint_every and self.step % checkpoint_every == 0) or (
                checkpoint_seconds > 0 and time.monotonic() - last_save >= checkpoint_seconds)
            if checkpoint and due and self.step < until_step:
                checkpoint(self)
                last_save = time.monotonic()
        if measured and self.best_state is not None and (self.step >= until_step or self.position.stopped):
            self.model.load_state_dict(self.best_state)
        return self.position.mean_losses()

    def save(self, path: os.PathLike | str, engine_config: Optional[dict] = None, extra: Optional[dict] = None) -> None:
        from .nets import network

        rng = {"torch": torch.get_rng_state()}
        if torch.cuda.is_available():
            rng["cuda"] = torch.cuda.get_rng_state_all()
        extra = {**(extra or {}), "rng": rng, "data_position": asdict(self.position)}
        if self.best_state is not None:
            extra["best_state"] = {k: v.cpu() for k, v in self.best_state.items()}
        network.save_checkpoint(
            path,
            self.model,
            optimizer_state=self.optimizer.state_dict(),
            scheduler_state=self.scheduler.state_dict(),
            scaler_state=self.scaler.state_dict(),
            step=self.step,
            engine_config=engine_config,
            train_config=asdict(self.config),
            extra=extra,
        )

    @classmethod
    def from_checkpoint(
        cls, path: os.PathLike | str, device: str | torch.device = "cpu", config: Optional[TrainConfig] = None
    ) -> tuple["Trainer", dict]:
        """Restores a trainer exactly as it was saved; ``config`` overrides the saved one."""
        from .nets import network

        model, checkpoint = network.load_checkpoint(path, map_location="cpu")
        saved = checkpoint.get("train_config")
        if config is None:
            config = TrainConfig.from_dict(saved or {})
        trainer = cls(model, config, device)
        trainer.step = int(checkpoint.get("step") or 0)
        if checkpoint.get("optimizer_state") is not None:
            trainer.optimizer.load_state_dict(checkpoint["optimizer_state"])
        if checkpoint.get("scheduler_state") is not None:
            trainer.scheduler.load_state_dict(checkpoint["scheduler_state"])
        if checkpoint.get("scaler_state") and trainer.use_amp:
            trainer.scaler.load_state_dict(checkpoint["scaler_state"])
        extra = checkpoint.get("extra") or {}
        if "data_position" in extra:
            trainer.position = DataPosition(**extra["data_position"])
        if extra.get("best_state") is not None:
            trainer.best_state = {k: v.to(trainer.device) for k, v in extra["best_state"].items()}
        rng = extra.get("rng") or {}
        if "torch" in rng:
            torch.set_rng_state(rng["torch"])
        if "cuda" in rng and torch.cuda.is_available():
            torch.cuda.set_rng_state_all(rng["cuda"])
        return trainer, checkpoint


def shard_dim(path: os.PathLike | str) -> int:
    from .data.dataset import open_shard

    with open_shard(path) as shard:
        if "dim" not in shard.files:
            raise ValueError(f"{path}: not a self-play shard (no board side, 'dim')")
        return shard.board_side()


def shard_engine_config(path: os.PathLike | str) -> Optional[dict]:
    """The engine configuration a shard's metadata names, if any."""
    from .data.dataset import open_shard

    with open_shard(path) as shard:
        if "metadata" not in shard.files:
            return None
        try:
            metadata = json.loads(str(shard["metadata"]))
        except (json.JSONDecodeError, RecursionError):
            return None
    config = metadata.get("engine_config") if isinstance(metadata, dict) else None
    return config if isinstance(config, dict) else None


def check_shards(paths: Sequence[os.PathLike | str]) -> int:
    """The board side shared by all shards; raises when they disagree or are missing."""
    if not paths:
        raise ValueError("no training shards given")
    missing = [str(p) for p in paths if not Path(p).is_file()]
    if missing:
        raise FileNotFoundError(f"training shards not found: {', '.join(missing)}")
    dims = {str(p): shard_dim(p) for p in paths}
    if len(set(dims.values())) != 1:
        sizes = ", ".join(f"{Path(p).name} {d}x{d}" for p, d in dims.items())
        raise ValueError(f"shards of different board sizes cannot be mixed ({sizes}): train on one size")
    return next(iter(dims.values()))


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("shards", nargs="+", type=Path,
                        help="self-play shards (.npz) to train on, or directories of them")
    parser.add_argument("--output", "-o", type=Path, required=True, help="checkpoint to write")
    start = parser.add_mutually_exclusive_group()
    start.add_argument("--init", type=Path, help="start from this checkpoint's weights with a fresh optimiser")
    start.add_argument(
        "--resume", type=Path, help="continue exactly from this training checkpoint (keeping its saved settings)"
    )
    parser.add_argument("--steps", type=int, required=True, help="total optimisation steps of the run")
    parser.add_argument("--batch-size", type=int, default=TrainConfig.batch_size)
    parser.add_argument("--lr", type=float, default=TrainConfig.learning_rate, help="peak learning rate")
    parser.add_argument("--weight-decay", type=float, default=TrainConfig.weight_decay)
    parser.add_argument("--warmup-steps", type=int, default=TrainConfig.warmup_steps)
    parser.add_argument("--schedule-steps", type=int, help="length of the cosine schedule (default: --steps)")
    parser.add_argument("--min-lr-fraction", type=float, default=TrainConfig.min_lr_fraction)
    parser.add_argument("--grad-clip", type=float, default=TrainConfig.grad_clip)
    parser.add_argument("--value-loss-weight", type=float, default=TrainConfig.value_loss_weight)
    parser.add_argument("--score-loss-weight", type=float, default=TrainConfig.score_loss_weight,
                        help="weight of the score head's loss (default %(default)s; a network without one ignores it)")
    parser.add_argument("--seed", type=int, default=TrainConfig.seed)
    parser.add_argument("--holdout-fraction", type=float, default=0.0,
                        help="share of the games kept out of training to measure it and stop early (default 0: none)")
    parser.add_argument("--eval-every", type=int, default=TrainConfig.eval_every,
                        help="steps between held-out evaluations")
    parser.add_argument("--patience", type=int, default=TrainConfig.patience,
                        help="held-out evaluations without improvement before stopping (0: never stop early)")
    parser.add_argument("--channels", type=int, default=32, help="width of a new network")
    parser.add_argument("--blocks", type=int, default=3, help="residual blocks of a new network")
    parser.add_argument("--device", default="auto", help="auto (CUDA when present), cpu, cuda, cuda:N")
    parser.add_argument(
        "--checkpoint-every", type=int, default=500, help="steps between checkpoints (0: only at the end)"
    )
    parser.add_argument("--checkpoint-minutes", type=float, default=10.0,
                        help="also save when this many minutes passed since the last save (0: never by time)")
    parser.add_argument("--log-every", type=int, default=50)
    parser.add_argument("--tensorboard", type=Path, metavar="DIR",
                        help="where the TensorBoard scalars go (default: OUTPUT's name without its suffix, "
                             "plus -tensorboard, beside it)")
    parser.add_argument("--threads", type=int, help="CPU threads for torch (default: torch's choice)")


def config_from_args(args: argparse.Namespace) -> TrainConfig:
    return TrainConfig(
        batch_size=args.batch_size,
        learning_rate=args.lr,
        weight_decay=args.weight_decay,
        warmup_steps=args.warmup_steps,
        schedule_steps=args.schedule_steps or args.steps,
        min_lr_fraction=args.min_lr_fraction,
        grad_clip=args.grad_clip,
        value_loss_weight=args.value_loss_weight,
        score_loss_weight=args.score_loss_weight,
        seed=args.seed,
        eval_every=args.eval_every,
        patience=args.patience,
    )


def check_options(args: argparse.Namespace) -> None:
    """Refuses option values that would fail or mean nothing, before anything is read."""
    for option, value, least in (
        ("--steps", args.steps, 1), ("--batch-size", args.batch_size, 1), ("--weight-decay", args.weight_decay, 0),
        ("--warmup-steps", args.warmup_steps, 0), ("--schedule-steps", args.schedule_steps, 1),
        ("--value-loss-weight", args.value_loss_weight, 0), ("--score-loss-weight", args.score_loss_weight, 0),
        ("--channels", args.channels, 2),
        ("--blocks", args.blocks, 0), ("--checkpoint-every", args.checkpoint_every, 0),
        ("--checkpoint-minutes", args.checkpoint_minutes, 0), ("--log-every", args.log_every, 0),
        ("--threads", args.threads, 1), ("--eval-every", args.eval_every, 1), ("--patience", args.patience, 0),
    ):
        at_least(option, value, least)
    for option, value in (("--lr", args.lr), ("--grad-clip", args.grad_clip)):
        if not (value > 0 and math.isfinite(value)):
            raise UsageError(f"{option} must be a positive number, got {value}")
    within("--min-lr-fraction", args.min_lr_fraction, 0.0, 1.0)
    within("--holdout-fraction", args.holdout_fraction, 0.0, 0.9)


def build_trainer(args: argparse.Namespace, device: torch.device, dim: int,
                  shard_config: Optional[dict]) -> tuple[Trainer, dict]:
    """The trainer the command starts from, and the engine configuration its checkpoints carry:
    the resumed checkpoint's (whose board side must be the shards'), else the shards' own."""
    from .nets import network

    if args.resume:
        trainer, checkpoint = Trainer.from_checkpoint(args.resume, device)
        trained = network.checkpoint_dim(checkpoint)
        if trained is not None and trained != dim:
            raise UsageError(f"{args.resume} was trained on {trained}x{trained} boards but the shards are "
                             f"{dim}x{dim}: resume on shards of its size, or start with --init")
        if trainer.step >= args.steps:
            raise UsageError(f"{args.resume} is already at step {trainer.step}: ask for more --steps than that")
        return trainer, {**(checkpoint.get("engine_config") or {}), "dim": dim}
    torch.manual_seed(args.seed)
    if args.init:
        model = network.load_checkpoint(args.init)[0]
    else:
        model = network.new_model(channels=args.channels, blocks=args.blocks)
    # The network is trained for the shards' board, whatever the --init network was trained for.
    engine_config = shard_config if shard_config and shard_config.get("dim") == dim else {}
    return Trainer(model, config_from_args(args), device), {**engine_config, "dim": dim}


def run(args: argparse.Namespace) -> int:
    from .data.dataset import TrainingDataset, shard_paths
    from .players.server import resolve_device

    check_options(args)
    try:
        shards = shard_paths(args.shards)
        device = resolve_device(args.device)
    except (OSError, ValueError, RuntimeError) as error:
        raise UsageError(describe_error(error)) from error
    for option, path in (("--init", args.init), ("--resume", args.resume)):
        if path is not None:
            readable_file(path, f"checkpoint for {option}")
    writable_file(args.output, "--output")
    writable_directory(tensorboard_directory(args), "--tensorboard")
    if args.threads:
        torch.set_num_threads(args.threads)
    dim = check_shards(shards)
    trainer, engine_config = build_trainer(args, device, dim, shard_engine_config(shards[0]))
    dataset = TrainingDataset([str(p) for p in shards])
    key = holdout_key(dataset_key(shards), args.holdout_fraction)
    if args.resume and trainer.position.key not in ("", key):
        print("note: the shards or the held-out share differ from the checkpoint's; the data order starts afresh")
    training, held = split_positions(dataset, args.holdout_fraction)
    if len(training) == 0:
        raise UsageError(f"--holdout-fraction {args.holdout_fraction} leaves no games to train on")
    holdout = Subset(dataset, held) if len(held) else None
    print(f"training on {len(training)} positions from {len(shards)} shards"
          + (f" ({len(held)} held out)" if args.holdout_fraction > 0 else "")
          + f", step {trainer.step} to {args.steps}")

    def save(t: Trainer) -> None:
        t.save(args.output, engine_config=engine_config)

    started = time.monotonic()
    with StopRequest() as stop, ScalarLog(tensorboard_directory(args)) as scalars:
        losses = trainer.train(
            Subset(dataset, training), key, args.steps, checkpoint=save, checkpoint_every=args.checkpoint_every,
            log=print, log_every=args.log_every, checkpoint_seconds=args.checkpoint_minutes * 60,
            should_stop=stop.requested, holdout=holdout, scalars=scalars,
        )
        save(trainer)
    if stop.requested():
        print(f"interrupted at step {trainer.step} of {args.steps}: saved {args.output}; "
              f"continue with --resume {args.output}")
        return 130
    print(
        f"step {trainer.step}: mean loss {losses['loss']:.4f} (policy {losses['policy_loss']:.4f}, "
        f"value {losses['value_loss']:.4f}) in {time.monotonic() - started:.1f}s; wrote {args.output}"
    )
    summary = trainer.position.held_out_summary()
    if summary:
        print(describe_held_out(summary))
    return 0


def tensorboard_directory(args: argparse.Namespace) -> Path:
    """The train command's TensorBoard directory: --tensorboard, else net-tensorboard beside net.pt."""
    return args.tensorboard or args.output.with_name(f"{args.output.stem}-tensorboard")


def holdout_key(key: str, fraction: float) -> str:
    """The data key of the training part when a share of the games is held out."""
    return f"{key}|holdout {fraction}" if fraction > 0 else key


def describe_held_out(summary: dict) -> str:
    best = summary["best"]
    return (f"held out: best loss {best['loss']:.4f} at step {best['step']} (policy {best['policy_loss']:.4f}, "
            f"value {best['value_loss']:.4f}; constant value {best['constant_value_loss']:.4f})"
            + (", stopped early" if summary["stopped_early"] else "") + "; these weights were kept")


def describe_error(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror}"
    return str(error)


class StopRequest:
    """Within the block, Ctrl-C (SIGINT) and SIGTERM ask the training to stop after its current
    step, so that the checkpoint it then saves is exact; a second signal interrupts at once."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self) -> None:
        self._signal: Optional[int] = None
        self._previous: dict = {}

    def requested(self) -> bool:
        return self._signal is not None

    def __enter__(self) -> "StopRequest":
        if threading.current_thread() is threading.main_thread():
            self._previous = {number: signal.signal(number, self._handle) for number in self.SIGNALS}
        return self

    def __exit__(self, *exc_info: object) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)

    def _handle(self, number: int, frame: object) -> None:
        if self._signal is not None:
            raise KeyboardInterrupt
        self._signal = number
        print(f"{signal.Signals(number).name}: stopping after this step to save a checkpoint "
              "(again to stop at once, without saving)", flush=True)
