"""Evaluation matches of a network (the `evaluate` command).

Two matches, each played greedily on the network's policy without search:
* against three random players on the configured board size, and
* against a baseline network in seats 1 to 3; this match is always played on
  a 20 x 20 board, whatever size is configured. A network as strong as its
  baseline earns a mean payoff of 0.25 there.
"""

from __future__ import annotations

import argparse
from dataclasses import asdict
from pathlib import Path
from typing import Optional

from .atomic import write_json_atomic
from .constants import BASELINE_MATCH_DIM, FAIR_SHARE
from .errors import UsageError, at_least, readable_file, writable_file
from .pool_options import PoolSettings, open_pool
from .stats import MatchSummary, summarize_payoffs

HELP = "play a network against random players and a baseline checkpoint"


def against_random(pool, engine_config, games: int, network: str = "model") -> MatchSummary:
    """Seat 0 played by ``network``, seats 1 to 3 by random players."""
    return summarize_payoffs(pool.play_against_random(engine_config, games, network=network))


def against_baseline(pool, engine_config, games: int, model: str = "model", baseline: str = "baseline") -> MatchSummary:
    """Seat 0 played by ``model``, seats 1 to 3 by ``baseline``, on a 20 x 20 board."""
    return summarize_payoffs(pool.play_against_baseline(engine_config, games, model=model, baseline=baseline))


def engine_config_for(checkpoint: dict, dim: Optional[int]):
    """The checkpoint's engine configuration (or the defaults), with ``dim`` if given."""
    from .engine_config import EngineConfig

    config = EngineConfig.from_dict(checkpoint.get("engine_config") or {})
    if dim is not None:
        config.dim = dim
        config.validate()
    return config


def check_trained_dims(args: argparse.Namespace, checkpoints: dict) -> None:
    """Refuses a match on a board other than the one a network was trained for: --dim against
    the checkpoint's board side, and the baseline match (always 20 x 20) for either network."""
    from .network import checkpoint_dim

    trained = checkpoint_dim(checkpoints[args.checkpoint])
    if args.dim is not None and trained is not None and args.dim != trained and not args.no_random:
        raise UsageError(f"{args.checkpoint} was trained for {trained}x{trained} boards, not --dim {args.dim}: "
                         f"leave out --dim or give --dim {trained}")
    if args.baseline is not None:
        for path, checkpoint in checkpoints.items():
            dim = checkpoint_dim(checkpoint)
            if dim is not None and dim != BASELINE_MATCH_DIM:
                raise UsageError(f"the baseline match plays on {BASELINE_MATCH_DIM}x{BASELINE_MATCH_DIM}, but {path} "
                                 f"was trained for {dim}x{dim}: leave out --baseline")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("checkpoint", type=Path, help="the network to evaluate")
    parser.add_argument("--baseline", type=Path, help="checkpoint to play against (on a 20 x 20 board)")
    parser.add_argument("--games", type=int, default=100, help="games per match")
    parser.add_argument("--dim", type=int, help="board side of the random match (default: the checkpoint's)")
    parser.add_argument("--no-random", action="store_true", help="skip the match against random players")
    parser.add_argument("--json", type=Path, help="also write the results to this JSON file")
    PoolSettings.add_arguments(parser)


def run(args: argparse.Namespace) -> int:
    from . import network

    at_least("--games", args.games, 1)
    if args.no_random and not args.baseline:
        raise UsageError("nothing to evaluate: --no-random needs --baseline")
    try:
        settings = PoolSettings.from_args(args)
        if args.dim is not None:
            engine_config_for({}, args.dim)
    except (TypeError, ValueError, RuntimeError) as error:
        raise UsageError(str(error)) from error
    for path in (args.checkpoint, args.baseline):
        if path is not None:
            readable_file(path, "network checkpoint")
    if args.json is not None:
        writable_file(args.json, "--json")
    model, checkpoint = network.load_checkpoint(args.checkpoint)
    loaded = {args.checkpoint: checkpoint}
    networks = {"model": model.eval()}
    if args.baseline:
        baseline, loaded[args.baseline] = network.load_checkpoint(args.baseline)
        networks["baseline"] = baseline.eval()
    check_trained_dims(args, loaded)
    engine_config = engine_config_for(checkpoint, args.dim)
    results = {
        "checkpoint": str(args.checkpoint),
        "step": checkpoint.get("step"),
        "engine_config": asdict(engine_config),
    }
    with open_pool(networks, settings) as pool:
        if not args.no_random:
            summary = against_random(pool, engine_config, args.games)
            print(f"against random players on {engine_config.dim}x{engine_config.dim}: {summary.describe()}")
            results["against_random"] = summary.to_dict()
        if args.baseline:
            summary = against_baseline(pool, engine_config, args.games)
            print(
                f"against {args.baseline} on {BASELINE_MATCH_DIM}x{BASELINE_MATCH_DIM} (fair share {FAIR_SHARE}): "
                f"{summary.describe()}"
            )
            results["baseline"] = str(args.baseline)
            results["against_baseline"] = summary.to_dict()
    if args.json:
        write_json_atomic(args.json, results)
    return 0
