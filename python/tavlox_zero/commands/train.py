"""The `train` command: train the policy-value network on self-play shards (training/trainer.py).

Its options are the trainer's settings (training.settings.TRAIN) and the command's own (RUN);
both check their values in the settings' one form before anything is read.
"""

from __future__ import annotations

import argparse
import signal
import threading
import time
from dataclasses import replace
from pathlib import Path
from typing import Optional

import torch

from ..base.errors import UsageError, readable_file, writable_directory, writable_file
from ..base.settings import Schema, Setting
from ..data.dataset import TrainingDataset
from ..data.shards import check_shards, shard_engine_config, shard_paths
from ..nets import network
from ..players.server import resolve_device
from ..training.batches import Subset, dataset_key, holdout_key, split_positions
from ..training.scalars import ScalarLog
from ..training.settings import LOOP, TRAIN, TrainConfig
from ..training.trainer import Trainer

HELP = "train the policy-value network on self-play shards"


# The train command's settings besides the trainer's own.
RUN = Schema("train", (
    Setting("steps", int, min=1, required=True, help="total optimisation steps of the run"),
    Setting("schedule_steps", int, optional=True, min=0,
            help="length of the cosine schedule (0 or left out: --steps)"),
    replace(LOOP["holdout_fraction"], default=0.0),
    LOOP["channels"],
    LOOP["blocks"],
    Setting("device", str, "auto", help="auto (CUDA when present), cpu, cuda, cuda:N"),
    replace(LOOP["checkpoint_every"], default=500, resumable=False),
    Setting("checkpoint_minutes", float, 10.0, min=0,
            help="also save when this many minutes passed since the last save (0: never by time; default {default})"),
    Setting("log_every", int, 50, min=0, help="steps between two lines of losses (0: none; default {default})"),
    Setting("threads", int, optional=True, min=1, help="CPU threads for torch (default: torch's choice)"),
), what="train options")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("shards", nargs="+", type=Path,
                        help="self-play shards (.npz) to train on, or directories of them")
    parser.add_argument("--output", "-o", type=Path, required=True, help="checkpoint to write")
    start = parser.add_mutually_exclusive_group()
    start.add_argument("--init", type=Path, help="start from this checkpoint's weights with a fresh optimiser")
    start.add_argument(
        "--resume", type=Path, help="continue exactly from this training checkpoint (keeping its saved settings)"
    )
    parser.add_argument("--tensorboard", type=Path, metavar="DIR",
                        help="where the TensorBoard scalars go (default: OUTPUT's name without its suffix, "
                             "plus -tensorboard, beside it)")
    RUN.add_arguments(parser)
    TRAIN.add_arguments(parser)


def config_from_args(args: argparse.Namespace) -> TrainConfig:
    values = {name: getattr(args, name) for name in TRAIN.names if name != "schedule_steps"}
    return TrainConfig(**values, schedule_steps=args.schedule_steps or args.steps)


def check_options(args: argparse.Namespace) -> None:
    """Refuses option values that would fail or mean nothing, before anything is read."""
    try:
        RUN.validate({name: getattr(args, name) for name in RUN.names})
        config_from_args(args)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from error


def build_trainer(args: argparse.Namespace, device: torch.device, dim: int,
                  shard_config: Optional[dict]) -> tuple[Trainer, dict]:
    """The trainer the command starts from, and the engine configuration its checkpoints carry:
    the resumed checkpoint's (whose board side must be the shards'), else the shards' own."""
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
