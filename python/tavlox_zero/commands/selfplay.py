"""The `selfplay` command: play training games with a network and write them as a dataset.

The batched engine plays many games at once in this process, one network call per batch
(or, with --engine processes, worker processes play one game each and the network runs
behind a batched inference server). Shards are written every --games-per-shard games,
so an interrupted run keeps every game it finished.
"""

from __future__ import annotations

import argparse
import logging
import signal
import time
from pathlib import Path
from typing import Any, Optional

from .. import __version__
from ..engine import engine_config as engine_config_module
from ..engine.constants import DEFAULT_DIM
from ..engine.engine_config import EngineConfig
from ..base.errors import UsageError, at_least, readable_file, writable_directory
from ..players.pool_options import PoolSettings
from ..players.self_play import generate
from ..engine.search_settings import SearchSettings

HELP = "play self-play games with a network and write them as a dataset"

log = logging.getLogger(__name__)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    engine_config_module.add_arguments(parser)
    PoolSettings.add_arguments(parser)
    SearchSettings.add_arguments(parser)
    parser.add_argument("--games", type=int, default=16, help="games to play (default %(default)s)")
    parser.add_argument("--checkpoint", type=Path,
                        help="network checkpoint to play with (default: a fresh network, saved under --out)")
    parser.add_argument("--channels", type=int, default=32, help="width of a fresh network (default %(default)s)")
    parser.add_argument("--blocks", type=int, default=3,
                        help="residual blocks of a fresh network (default %(default)s)")
    parser.add_argument("--seed", type=int, help="seed for a fresh network's weights")
    parser.add_argument("--out", type=Path, default=Path("runs/selfplay"),
                        help="directory for the shards (default %(default)s); numbering continues after any there")
    parser.add_argument("--games-per-shard", type=int, default=32, help="games per shard file (default %(default)s)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


def run(args: argparse.Namespace) -> int:
    from ..nets import network

    for option, value, least in (("--games", args.games, 1), ("--games-per-shard", args.games_per_shard, 1),
                                 ("--channels", args.channels, 2), ("--blocks", args.blocks, 0)):
        at_least(option, value, least)
    config = _engine_config(args, DEFAULT_DIM)
    try:
        pool_settings = PoolSettings.from_args(args)
        search = SearchSettings.from_args(args)
        if pool_settings.engine != "batched" and not search.is_default():
            raise ValueError("search settings other than the defaults need the batched engine: "
                             "leave out --engine processes")
    except (TypeError, ValueError, RuntimeError) as error:
        raise UsageError(str(error)) from error
    if args.checkpoint is not None:
        readable_file(args.checkpoint, "network checkpoint")
    writable_directory(args.out, "--out")
    model, checkpoint, trained_dim = _load_network(args, network, config)
    if trained_dim is not None:
        config = _engine_config(args, trained_dim)
    with _sigterm_as_interrupt():
        summary = generate(
            model, config, args.out, args.games, pool_settings, games_per_shard=args.games_per_shard,
            metadata={"checkpoint": checkpoint, "tavlox_version": __version__}, progress=not args.no_progress,
            search=search,
        )
    print(summary.describe())
    if summary.error:
        return 1
    return 130 if summary.interrupted else 0


def _engine_config(args: argparse.Namespace, default_dim: int) -> EngineConfig:
    try:
        return EngineConfig.from_args(args, default_dim)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from error


def _load_network(args: argparse.Namespace, network: Any, config: EngineConfig) -> tuple[Any, dict, Optional[int]]:
    """The network to play with, its description for the shards' metadata, and the board side
    a checkpoint was trained for (refusing a --dim that differs from it)."""
    if args.checkpoint is not None:
        model, checkpoint = network.load_checkpoint(args.checkpoint)
        trained_dim = network.checkpoint_dim(checkpoint)
        if trained_dim is not None and args.dim is not None and args.dim != trained_dim:
            raise UsageError(f"{args.checkpoint} was trained for {trained_dim}x{trained_dim} boards, not --dim "
                             f"{args.dim}: leave out --dim or give --dim {trained_dim}")
        return model, {"path": str(Path(args.checkpoint).resolve()), "step": int(checkpoint.get("step") or 0),
                       "model_config": checkpoint["model_config"]}, trained_dim
    import torch

    if args.seed is not None:
        torch.manual_seed(args.seed)
    model = network.new_model(channels=args.channels, blocks=args.blocks)
    path = Path(args.out) / f"fresh-network-{time.strftime('%Y%m%d-%H%M%S')}.pt"
    # The board side goes with the network, so that evaluate and train know what it plays.
    network.save_checkpoint(path, model, engine_config=config.to_dict())
    log.info("playing with a fresh network, saved as %s", path)
    return model, {"path": str(path.resolve()), "step": 0, "model_config": network.model_config(model)}, None


class _sigterm_as_interrupt:
    """Within the block, SIGTERM stops the run like Ctrl-C, so finished games are still written."""

    def __enter__(self) -> None:
        self._previous = signal.signal(signal.SIGTERM, self._raise)

    def __exit__(self, *exc_info: Any) -> None:
        signal.signal(signal.SIGTERM, self._previous)

    @staticmethod
    def _raise(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt

