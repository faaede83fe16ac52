"""tavlox-zero backends: every inference backend's speed and agreement with fp32 PyTorch, on
positions of the network's own self-play.

    tavlox-zero backends runs/demo/checkpoints/current.pt --dim 9 --batch 128

The network first plays `--games` self-play games (fp32 PyTorch, `--sims` simulations); each
backend then evaluates every position of those games, and its policies over the legal tiles
and its value probabilities are compared with fp32's. Speed is the network alone on batches
of `--batch` positions, with `--threads` CPU threads.
"""

from __future__ import annotations

import argparse
import time
from dataclasses import replace
from pathlib import Path

import numpy as np

from ..base.atomic import write_json_atomic
from ..engine.batched import BatchedEngine
from ..engine.engine_config import engine_config_for
from ..engine.rules import encode_record
from ..base.errors import UsageError, at_least, readable_file, writable_file
from ..nets.inference import BACKENDS, BackendUnavailable, agreement, make_network, positions_per_second

HELP = "measure the speed of each inference backend and its agreement with fp32 PyTorch"

CONCRETE_BACKENDS = tuple(b for b in BACKENDS if b != "auto")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("checkpoint", type=Path, help="network checkpoint (.pt)")
    parser.add_argument("--dim", type=int, default=None, help="board side (default: the checkpoint's)")
    parser.add_argument("--games", type=int, default=8, help="self-play games giving the positions (default %(default)s)")
    parser.add_argument("--sims", type=int, default=16, help="simulations per move of those games (default %(default)s)")
    parser.add_argument("--batch", type=int, default=128, help="batch size of the speed measure (default %(default)s)")
    parser.add_argument("--seconds", type=float, default=2.0, help="timing per backend (default %(default)s)")
    parser.add_argument("--threads", type=int, default=2, help="CPU threads of the network (default %(default)s)")
    parser.add_argument("--backends", nargs="+", choices=CONCRETE_BACKENDS, default=list(CONCRETE_BACKENDS),
                        metavar="BACKEND", help=f"backends to measure (default: all of {', '.join(CONCRETE_BACKENDS)})")
    parser.add_argument("--seed", type=int, default=0, help="seed of the self-play games (default %(default)s)")
    parser.add_argument("--json", type=Path, default=None, help="also write the results to this JSON file")


def run(args: argparse.Namespace) -> int:
    import torch

    from ..nets import network

    for option in ("--games", "--sims", "--batch", "--threads"):
        at_least(option, getattr(args, option[2:]), 1)
    at_least("--seconds", args.seconds, 0.1)
    readable_file(args.checkpoint, "network checkpoint")
    if args.json is not None:
        writable_file(args.json, "--json")
    try:
        config = engine_config_for({}, args.dim) if args.dim is not None else None
    except ValueError as error:
        raise UsageError(str(error)) from error
    model, checkpoint = network.load_checkpoint(args.checkpoint)
    config = config or engine_config_for(checkpoint, None)
    torch.set_num_threads(args.threads)
    planes = self_play_positions(model, config, args.games, args.sims, args.seed)
    print(f"{len(planes)} positions from {args.games} self-play games on {config.dim} x {config.dim}, "
          f"{args.threads} thread(s), batch {args.batch}")
    results = measure_backends(model, planes, args.backends, args.batch, args.seconds, args.threads)
    print_table(results)
    if args.json is not None:
        write_json_atomic(args.json, {"checkpoint": str(args.checkpoint), "dim": config.dim,
                                      "positions": len(planes), "batch": args.batch,
                                      "threads": args.threads,
                                      "backends": [{**r, "agreement": r["agreement"].to_dict()} if "agreement" in r
                                                   else r for r in results]})
    return 0


def self_play_positions(model, config, games: int, sims: int, seed: int) -> np.ndarray:
    """uint8 planes of every position of `games` self-play games of `model` (fp32 PyTorch)."""
    network = make_network(model, "cpu", "torch")
    with BatchedEngine("training", replace(config, sims_per_move=sims), games, [network], seed=seed) as engine:
        records = list(engine.run())
    states = [encode_record(config.dim, record.moves) for record in records]
    return np.ascontiguousarray(np.concatenate(states), dtype=np.uint8)


def measure_backends(model, planes: np.ndarray, backends: list, batch: int, seconds: float,
                     threads: int) -> list[dict]:
    """One row per backend: positions/s, speed-up over fp32 PyTorch and agreement with it."""
    reference = make_network(model, "cpu", "torch", threads=threads)
    expected = evaluate_all(reference, planes, batch)
    reference_rate = positions_per_second(reference, planes[:batch], seconds)
    rows = []
    for backend in backends:
        row: dict = {"backend": backend}
        try:
            started = time.perf_counter()
            network = make_network(model, "cpu", backend, threads=threads)
            row["build_seconds"] = time.perf_counter() - started
            row["agreement"] = agreement(expected, evaluate_all(network, planes, batch), planes)
            rate = reference_rate if backend == "torch" else positions_per_second(network, planes[:batch], seconds)
            row.update(positions_per_second=rate, speedup=rate / reference_rate)
        except BackendUnavailable as error:
            row["unavailable"] = str(error)
        except Exception as error:  # noqa: BLE001 - a failing backend is a result of the measurement
            row["failed"] = f"{type(error).__name__}: {error}"
        rows.append(row)
    passing = [r for r in rows if "positions_per_second" in r and r["agreement"].passes()]
    if passing:
        max(passing, key=lambda r: r["positions_per_second"])["fastest_agreeing"] = True
    return rows


def evaluate_all(network, planes: np.ndarray, batch: int) -> tuple[np.ndarray, np.ndarray]:
    answers = [network(planes[start:start + batch]) for start in range(0, len(planes), batch)]
    return (np.concatenate([np.array(p, dtype=np.float32) for p, _ in answers]),
            np.concatenate([np.array(v, dtype=np.float32) for _, v in answers]))


def print_table(rows: list[dict]) -> None:
    print(f"{'backend':<12} {'positions/s':>12} {'speed-up':>9}  agreement with fp32 PyTorch")
    for row in rows:
        if "positions_per_second" not in row:
            print(f"{row['backend']:<12} {'-':>12} {'-':>9}  {row.get('unavailable') or row.get('failed')}")
            continue
        measured = row["agreement"]
        verdict = "agrees" if measured.passes() else "DISAGREES"
        mark = "  <- fastest that agrees" if row.get("fastest_agreeing") else ""
        print(f"{row['backend']:<12} {row['positions_per_second']:>12,.0f} {row['speedup']:>8.2f}x  "
              f"{verdict}: {measured.describe()}{mark}")
