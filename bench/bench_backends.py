"""Inference backends benchmark: the network alone and self-play, each backend against fp32
PyTorch (the former default) in the same run, so the ratios hold on a noisy machine.

    python bench/bench_backends.py                              # both parts, default network
    python bench/bench_backends.py --part network --threads 1 2
    python bench/bench_backends.py --part selfplay --seconds 60 --splits 1:1 1:2 2:2
    python bench/bench_backends.py --part strength --checkpoint NET.pt --backends openvino --games 200
    python bench/bench_backends.py --device cuda --backends torch torch-bf16

`network`: positions/s of the network alone at 9 x 9 (batch 128) and 20 x 20 (batch 64)
for every backend and thread count. `selfplay`: positions/s of the batched engine's
training games with the `selfplay` command's defaults (256 games in flight), at 9 x 9 with
16 simulations and 20 x 20 with 64, for each backend and each split of search threads and
network threads (`S:N`); each run stops after `--seconds`, counting the positions searched.
Also reported: the search's CPU time per evaluation and the share of the run the network
was busy. `strength`: head-to-head games on the checkpoint's board, the network served by
each backend in seat game % 4 and by fp32 PyTorch in the other three, with a 16-simulation
search from two random opening tiles: a backend that plays as fp32 does scores 0.25.
"""

from __future__ import annotations

import argparse
import time

BOARDS = ((9, 128, 16), (20, 64, 64))  # board side, network batch, simulations of self-play


def parse_args() -> argparse.Namespace:
    from tavlox_zero.nets.inference import BACKENDS

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--part", choices=("network", "selfplay", "both", "strength"), default="both")
    parser.add_argument("--games", type=int, default=200, help="games of the strength part")
    parser.add_argument("--backends", nargs="+", choices=BACKENDS, default=["torch", "torch-bf16", "onnxruntime",
                                                                            "openvino", "auto"])
    parser.add_argument("--threads", type=int, nargs="+", default=[2], help="network threads (network part)")
    parser.add_argument("--splits", nargs="+", default=["1:1"],
                        help="search threads:network threads of the self-play part (default %(default)s)")
    parser.add_argument("--seconds", type=float, default=30.0, help="time per self-play run")
    parser.add_argument("--games-in-flight", type=int, default=256, help="games in flight of self-play")
    parser.add_argument("--dims", type=int, nargs="+", default=[9, 20])
    parser.add_argument("--channels", type=int, default=32)
    parser.add_argument("--blocks", type=int, default=3)
    parser.add_argument("--checkpoint", default=None, help="a trained network instead of a fresh one")
    parser.add_argument("--device", default="cpu")
    return parser.parse_args()


def load_model(args: argparse.Namespace):
    from tavlox_zero.nets.network import load_checkpoint, new_model

    if args.checkpoint:
        return load_checkpoint(args.checkpoint)[0]
    return new_model(seed=0, channels=args.channels, blocks=args.blocks)


def built(model, device: str, backend: str, threads: int):
    """The backend's network, or None (said on stdout) where it cannot be built here."""
    from tavlox_zero.nets.inference import BackendUnavailable, make_network

    try:
        return make_network(model, device, backend, threads=threads)
    except BackendUnavailable as error:
        print(f"{backend} unavailable: {error}")
        return None


def network_part(args: argparse.Namespace, model) -> None:
    import numpy as np
    import torch

    from tavlox_zero.nets.inference import positions_per_second

    rng = np.random.default_rng(0)
    for dim, batch, _ in (b for b in BOARDS if b[0] in args.dims):
        planes = (rng.random((batch, 5, dim, dim)) < 0.25).astype(np.uint8)
        for threads in args.threads:
            torch.set_num_threads(threads)
            base = None
            for backend in args.backends:
                network = built(model, args.device, backend, threads)
                if network is None:
                    continue
                rate = positions_per_second(network, planes, seconds=2.0)
                base = base or rate
                served = network.backend if backend == "auto" else ""
                print(f"network {dim}x{dim} batch {batch:>3} threads {threads} {backend:<12} {rate:>9,.0f} positions/s "
                      f"{rate / base:5.2f}x {served}", flush=True)


def selfplay_part(args: argparse.Namespace, model) -> None:
    import torch

    from tavlox_zero.engine import BatchedEngine, NetworkError
    from tavlox_zero.engine.engine_config import EngineConfig

    for dim, _, sims in (b for b in BOARDS if b[0] in args.dims):
        config = EngineConfig(dim=dim, sims_per_move=sims)
        base = None
        for split in args.splits:
            search_threads, network_threads = (int(n) for n in split.split(":"))
            torch.set_num_threads(network_threads)
            for backend in args.backends:
                network = built(model, args.device, backend, network_threads)
                if network is None:
                    continue
                deadline = time.perf_counter() + args.seconds

                def until_deadline(planes, network=network, deadline=deadline):
                    if time.perf_counter() > deadline:
                        raise TimeoutError("time is up")
                    return network(planes)

                with BatchedEngine("training", config, 100000, [until_deadline], games_in_flight=args.games_in_flight,
                                   search_threads=search_threads, seed=0) as engine:
                    try:
                        for _ in engine.run():
                            pass
                    except NetworkError as error:
                        if not isinstance(error.__cause__, TimeoutError):
                            raise
                stats = engine.stats
                # Positions searched: every searched position costs sims + 1 evaluations at most
                # (fewer where the tree reuses one), so this slightly undercounts alike for all.
                rate = stats.evaluations / (sims + 1) / stats.seconds
                base = base or rate
                print(f"selfplay {dim}x{dim} sims {sims} split {split} {backend:<12} {rate:>8.1f} positions/s "
                      f"{rate / base:5.2f}x | {stats.evaluations / stats.seconds:7.0f} evaluations/s, mean batch "
                      f"{stats.mean_batch:5.1f}, network busy {stats.network_busy:4.0%}, search CPU "
                      f"{stats.search_us_per_evaluation:5.1f} us/evaluation "
                      f"{network.backend if backend == 'auto' else ''}", flush=True)


def strength_part(args: argparse.Namespace, model) -> None:
    import torch

    from tavlox_zero.engine import BatchedEngine
    from tavlox_zero.engine.engine_config import EngineConfig
    from tavlox_zero.nets.inference import make_network
    from tavlox_zero.nets.network import checkpoint_dim, load_checkpoint
    from tavlox_zero.engine.search_settings import MatchSettings
    from tavlox_zero.rating.stats import summarize_payoffs

    dim = (checkpoint_dim(load_checkpoint(args.checkpoint)[1]) if args.checkpoint else None) or args.dims[0]
    torch.set_num_threads(args.threads[0])
    reference = make_network(model, args.device, "torch", threads=args.threads[0])
    match = MatchSettings(simulations=16, opening="random:2")
    for backend in args.backends:
        network = make_network(model, args.device, backend, threads=args.threads[0])
        with BatchedEngine("match", EngineConfig(dim=dim), args.games, [network, reference], seed=0,
                           match=match) as engine:
            summary = summarize_payoffs(list(engine.run()))
        print(f"strength {dim}x{dim} {backend:<12} ({network.backend}) in one seat, rotating, fp32 in three: "
              f"{summary.describe()}", flush=True)


def main() -> None:
    args = parse_args()
    model = load_model(args)
    if args.part in ("network", "both"):
        network_part(args, model)
    if args.part in ("selfplay", "both"):
        selfplay_part(args, model)
    if args.part == "strength":
        strength_part(args, model)


if __name__ == "__main__":
    main()
