"""Ray path benchmark: positions per second of the local batched engine and of Ray actors,
with the same network, board, simulations and seed, in one run.

    python bench/bench_ray.py --dim 9 --sims 16 --games 64

Each Ray actor gets one search thread and one torch thread; the local engine the same, so
that one actor and the local run use equal resources and the difference is the Ray path's
cost: actor start-up is reported apart, and the rest is shown per finished game.
"""

from __future__ import annotations

import argparse
import os
import time


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dim", type=int, default=9)
    parser.add_argument("--sims", type=int, default=16)
    parser.add_argument("--games", type=int, default=64)
    parser.add_argument("--games-in-flight", type=int, default=32)
    parser.add_argument("--channels", type=int, default=32)
    parser.add_argument("--blocks", type=int, default=3)
    parser.add_argument("--actors", default="1,2", help="comma-separated actor counts (default %(default)s)")
    return parser.parse_args()


def main() -> None:
    args = parse_args()
    import ray
    import torch

    from tavlox_zero.players.batched_player import BatchedPlayer
    from tavlox_zero.players.distributed import RayPlayer
    from tavlox_zero.engine.engine_config import EngineConfig
    from tavlox_zero.nets.network import new_model

    torch.manual_seed(0)
    torch.set_num_threads(1)
    networks = {"model": new_model(channels=args.channels, blocks=args.blocks)}
    config = EngineConfig(dim=args.dim, sims_per_move=args.sims)
    print(f"machine: {os.cpu_count()} CPUs; {args.games} games of {args.dim} x {args.dim}, {args.sims} simulations, "
          f"{args.games_in_flight} games in flight per engine, one search and one torch thread each")

    def timed(player) -> tuple:
        started = time.perf_counter()
        positions = sum(len(record) for record in player.play_training_games(config, args.games))
        return positions, time.perf_counter() - started

    with BatchedPlayer(networks, "cpu", games_in_flight=args.games_in_flight, search_threads=1, seed=0) as local:
        positions, seconds = timed(local)
    local_rate = positions / seconds
    print(f"local batched engine: {positions / seconds:8.1f} positions/s, {args.games / seconds:6.3f} games/s")
    ray.init(num_cpus=os.cpu_count(), include_dashboard=False, log_to_driver=False)
    for actors in (int(a) for a in args.actors.split(",") if a):
        started = time.perf_counter()
        player = RayPlayer(networks, "cpu", actors=actors, cpus_per_actor=1, games_in_flight=args.games_in_flight,
                           search_threads=1, cpu_threads=1, seed=0)
        ray.get([actor.pid.remote() for actor in player.actors])
        start_up = time.perf_counter() - started
        positions, seconds = timed(player)
        player.close()
        overhead = (seconds / args.games - 1 / (local_rate / (positions / args.games))) * 1e3
        print(f"--ray, {actors} actor(s): {positions / seconds:8.1f} positions/s, {args.games / seconds:6.3f} games/s "
              f"({positions / seconds / local_rate:4.2f}x local; actor start-up {start_up:.1f} s"
              + (f"; {overhead:+.1f} ms per finished game against local)" if actors == 1 else ")"))
    ray.shutdown()


if __name__ == "__main__":
    main()
