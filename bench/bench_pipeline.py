"""Self-play pipeline benchmark: end-to-end positions per second of both engines, and where an evaluation's time goes.

    python bench/bench_pipeline.py                      # default network, 20 x 20, on the CPU
    python bench/bench_pipeline.py --workers 2,4,8 --games-per-worker 2 --sims 16
    python bench/bench_pipeline.py --device cuda --workers 8,16,32 --games-in-flight 1024

First it times the pieces of one evaluation in isolation: the request's pickling, the
conversion of nested lists to one array, and the network's forward pass by batch size.
Then it plays real self-play games through the worker pool for each worker count and
reports games/s, positions/s and evaluations/s with the per-evaluation breakdown the
pool measures: engine (the worker's own work), transport (pickling and pipes), batching
wait (from sending a request to the start of its batch) and network (conversion,
forward pass and replies). Then the batched engine plays the same kind of games with the
same network, and the ratios compare it with the best pool run and with the network alone
at the batched engine's batch size.
"""

from __future__ import annotations

import argparse
import os
import pickle
import time

# Worker processes re-import this script; heavy imports stay inside the functions.


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dim", type=int, default=20)
    parser.add_argument("--sims", type=int, default=16, help="simulations per move (default %(default)s)")
    parser.add_argument("--games-per-worker", type=int, default=2,
                        help="games per worker, so that every worker plays (default %(default)s)")
    parser.add_argument("--workers", default="2,4,8", help="comma-separated worker counts (default %(default)s)")
    parser.add_argument("--threads", type=int, default=1, help="torch CPU threads (default %(default)s)")
    parser.add_argument("--max-wait-ms", type=float, default=2.0)
    parser.add_argument("--channels", type=int, default=32)
    parser.add_argument("--blocks", type=int, default=3)
    parser.add_argument("--device", default="cpu")
    parser.add_argument("--skip-components", action="store_true", help="only the end-to-end runs")
    parser.add_argument("--batched-games", type=int, default=0,
                        help="games for the batched engine (default: twice the games in flight)")
    parser.add_argument("--games-in-flight", type=int, default=64)
    parser.add_argument("--search-threads", type=int, default=1)
    parser.add_argument("--batched-torch-threads", type=int, default=os.cpu_count() or 1,
                        help="torch CPU threads during the batched run (default: every CPU, %(default)s)")
    parser.add_argument("--batched-seconds", type=float, default=0.0,
                        help="stop the batched run after this long (default: play every game); its rates "
                             "then count the evaluations made, and positions as evaluations per simulation + 1")
    return parser.parse_args()


def timed(function, *, seconds: float = 0.5, warmup: int = 3) -> float:
    """Mean seconds per call over about `seconds` of calls."""
    for _ in range(warmup):
        function()
    calls, started = 0, time.perf_counter()
    while time.perf_counter() - started < seconds:
        function()
        calls += 1
    return (time.perf_counter() - started) / calls


def components(args: argparse.Namespace, model) -> None:
    import numpy as np
    import torch

    from tavlox_zero.engine import rules
    from tavlox_zero.nets.network import inference_model

    game = rules.Game(args.dim)
    for tile in sorted(game.legal_tiles())[:1]:
        game.apply(tile)
    state = game.state().tolist()
    request = (3, state)
    size = len(pickle.dumps(request, protocol=pickle.HIGHEST_PROTOCOL))
    round_trip = timed(lambda: pickle.loads(pickle.dumps(request, protocol=pickle.HIGHEST_PROTOCOL)))
    print(f"request: {size} bytes pickled, pickle + unpickle {round_trip * 1e6:.1f} us")
    reply = ([0.5] * (args.dim * args.dim), [0.25] * 4)
    reply_trip = timed(lambda: pickle.loads(pickle.dumps(reply, protocol=pickle.HIGHEST_PROTOCOL)))
    print(f"reply: pickle + unpickle {reply_trip * 1e6:.1f} us")
    batch = [state] * 16
    convert = timed(lambda: np.array(batch, dtype=np.bool_))
    print(f"nested lists to one array: {convert / 16 * 1e6:.1f} us per state (batch of 16)")
    device = torch.device(args.device)
    fast = inference_model(model, device)
    eager = model.to(device)
    print(f"network forward ({args.channels} channels, {args.blocks} blocks, {args.dim} x {args.dim}, "
          f"{torch.get_num_threads()} thread(s), {device}), as served (folded, traced) and as trained (eager):")
    for size in (1, 2, 4, 8, 16, 32):
        x = torch.from_numpy(np.array([state] * size, dtype=np.bool_)).to(device, dtype=torch.float32)
        served, trained = (timed(lambda: forward(net, x)) for net in (fast, eager))
        print(f"  batch {size:3d}: {served * 1e3:7.3f} ms per batch, {served / size * 1e3:6.3f} ms per position "
              f"(eager {trained / size * 1e3:6.3f} ms per position)")


def forward(net, x) -> None:
    import torch

    with torch.inference_mode():
        policy, value = net(x)
        policy.cpu(), value.cpu()


def network_alone(args: argparse.Namespace, model, batch: int) -> float:
    """Positions per second of the served network at `batch`, inputs and outputs on the host."""
    import numpy as np

    from tavlox_zero.nets.network import inference_model
    from tavlox_zero.nets.torch_network import TorchNetwork

    network = TorchNetwork(inference_model(model, args.device), args.device)
    planes = np.zeros((batch, 5, args.dim, args.dim), dtype=np.uint8)
    return batch / timed(lambda: network(planes), seconds=1.0)


def batched(args: argparse.Namespace, model) -> float:
    import torch

    from tavlox_zero.engine import BatchedEngine, NetworkError
    from tavlox_zero.engine.engine_config import EngineConfig
    from tavlox_zero.nets.network import inference_model
    from tavlox_zero.nets.torch_network import TorchNetwork

    config = EngineConfig(dim=args.dim, sims_per_move=args.sims)
    games = args.batched_games or 2 * args.games_in_flight
    torch.set_num_threads(args.batched_torch_threads)
    network = TorchNetwork(inference_model(model, args.device), args.device)
    deadline = time.perf_counter() + (args.batched_seconds or float("inf"))

    def until_deadline(planes):
        if time.perf_counter() > deadline:
            raise TimeoutError("time is up")
        return network(planes)

    positions = 0
    with BatchedEngine("training", config, games, [until_deadline], games_in_flight=args.games_in_flight,
                       search_threads=args.search_threads, seed=0) as engine:
        try:
            positions = sum(len(record) for record in engine.run())
        except NetworkError as error:
            if not isinstance(error.__cause__, TimeoutError):
                raise
    stats = engine.stats
    if args.batched_seconds:
        positions = stats.evaluations / (args.sims + 1)
    rate = positions / stats.seconds
    print(f"batched, {args.games_in_flight} games in flight, {args.search_threads} search thread(s), "
          f"{torch.get_num_threads()} torch thread(s), batch "
          f"{engine.batch_size}: {stats.games / stats.seconds:6.3f} games/s {rate:8.1f} positions/s "
          f"{stats.evaluations / stats.seconds:7.0f} evaluations/s | mean batch {stats.mean_batch:6.2f}, "
          f"network busy {stats.network_busy:4.0%} | search CPU {stats.search_us_per_evaluation:5.1f} us "
          f"per evaluation")
    alone = network_alone(args, model, max(1, round(stats.mean_batch)))
    return rate, stats.evaluations / stats.seconds, alone


def end_to_end(args: argparse.Namespace, model, workers: int) -> tuple:
    from tavlox_zero.engine.engine_config import EngineConfig
    from tavlox_zero.players.self_play import Timing
    from tavlox_zero.players.pool import WorkerPool

    config = EngineConfig(dim=args.dim, sims_per_move=args.sims)
    games = workers * args.games_per_worker
    positions = 0
    with WorkerPool(workers, {"model": model}, args.device, max_wait_ms=args.max_wait_ms,
                    cpu_threads=args.threads) as pool:
        started = time.perf_counter()
        for _, (moves, _, _) in pool.play_training_games(config, games):
            positions += len(moves)
        seconds = time.perf_counter() - started
        server = pool.server_stats()["model"]
        stats = pool.stats
    timing = Timing.from_stats(stats, {"model": server})
    busy = (server.convert_seconds + server.network_seconds + server.reply_seconds) / seconds
    print(f"{workers:3d} workers: {games / seconds:6.3f} games/s {positions / seconds:8.1f} positions/s "
          f"{stats.evaluations / seconds:7.0f} evaluations/s | mean batch {server.mean_batch:5.2f}, "
          f"network busy {busy:4.0%} | per evaluation: {timing.describe()}")
    return positions / seconds, stats.evaluations / seconds


def main() -> None:
    args = parse_args()
    import torch

    from tavlox_zero.nets.network import new_model

    torch.manual_seed(0)
    torch.set_num_threads(args.threads)
    model = new_model(channels=args.channels, blocks=args.blocks)
    print(f"machine: {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}; torch {torch.__version__}")
    if not args.skip_components:
        components(args, model)
    print(f"end to end: {args.games_per_worker} games per worker of {args.dim} x {args.dim}, "
          f"{args.sims} simulations per move, {torch.get_num_threads()} torch thread(s), "
          f"max wait {args.max_wait_ms} ms")
    pool_best = max((end_to_end(args, model, int(w)) for w in args.workers.split(",") if w), default=(0.0, 0.0))
    positions, evaluations, alone = batched(args, model)
    if pool_best[0]:
        print(f"batched / best pool: {positions / pool_best[0]:5.2f}x positions/s, "
              f"{evaluations / pool_best[1]:5.2f}x evaluations/s")
    print(f"batched / network alone at the same batch and threads ({alone:7.0f} positions/s): "
          f"{evaluations / alone:5.2f}")
    print(f"load average at the end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
