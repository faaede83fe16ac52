"""Simulations per second of play_training_game against an instant in-process responder.

The responder's put stores nothing and its recv returns one prebuilt reply, so the time
measured is the engine's own (search, game copies, requests built and replies read) plus the
bare cost of the two Python callbacks, which the responder times separately.

    python bench/bench_self_play.py [--games N] [--sims S] [--dim D] [--rep R]
"""

import argparse
import platform
import time

import tavlox_self_play
from tavlox_zero.engine.engine_config import EngineConfig


class Responder:
    """Inference queue and pipe in one: answers every request with the same reply."""

    def __init__(self, dim):
        policy = [0.01 * ((i * 7919) % 101) for i in range(dim * dim)]
        self.reply = (policy, [0.4, 0.3, 0.2, 0.1])
        self.requests = 0
        self.callback_seconds = 0.0

    def put(self, request):
        start = time.perf_counter()
        self.requests += 1
        self.callback_seconds += time.perf_counter() - start

    def recv(self):
        start = time.perf_counter()
        reply = self.reply
        self.callback_seconds += time.perf_counter() - start
        return reply


class Results:
    def __init__(self):
        self.records = []

    def put(self, record):
        self.records.append(record)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=3)
    parser.add_argument("--sims", type=int, default=100)
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--rep", type=int, default=1)
    args = parser.parse_args()
    config = EngineConfig(dim=args.dim, rep=args.rep, sims_per_move=args.sims)
    responder, results = Responder(args.dim), Results()
    start, cpu_start = time.perf_counter(), time.process_time()
    for game in range(args.games):
        status = tavlox_self_play.play_training_game(game, config, results, responder, responder)
        assert status == 0, f"game {game} ended with status {status}"
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu_start

    moves = sum(len(record[1][0]) for record in results.records)
    simulations = moves * args.sims
    print(f"interpreter        {platform.python_implementation()} {platform.python_version()}")
    print(f"games              {args.games} (dim {args.dim}, rep {args.rep}, "
          f"{args.sims} simulations per move, {moves} moves)")
    print(f"simulations        {simulations} in {elapsed:.2f} s ({cpu:.2f} s of CPU)")
    print(f"evaluations        {responder.requests} (the rest reached terminal leaves)")
    print(f"simulations/s      {simulations / elapsed:,.0f}")
    print(f"us per simulation  {elapsed / simulations * 1e6:.2f} ({cpu / simulations * 1e6:.2f} of CPU)")
    print(f"us per evaluation  {elapsed / max(responder.requests, 1) * 1e6:.2f}")
    print(f"inside callbacks   {responder.callback_seconds / elapsed:.1%} of the time")


if __name__ == "__main__":
    main()
