"""The worker pool: engine worker processes beside one inference server per network.

The pool spawns the workers (see worker.py; their lifecycle is worker_processes.py), hands
them jobs and gathers their records and reports (job_runner.py). The evaluation requests of
all workers go through one inference queue per network (see transport.py), served by an
InferenceServer thread of this process.

Shutdown: the pool stops the servers and closes every pipe; a worker blocked in
`recv` then gets EOFError, the engine abandons its game (status 1) and the worker
exits. Results still in flight are drained before the processes are joined; whatever
does not exit in time is terminated, then killed.
"""

from __future__ import annotations

import logging
import multiprocessing
import os
from typing import Any, Iterator, Optional

from .job_runner import JobRunner
from .pool_stats import PoolError, PoolStats
from .transport import RequestQueue
from .worker import AGAINST_BASELINE, AGAINST_RANDOM, TRAINING, Job, JobDone
from .worker_processes import WorkerProcesses

log = logging.getLogger(__name__)

DEFAULT_ENGINE = "tavlox_self_play"


def default_cpu_threads() -> int:
    """Torch threads for a network served on the CPU: a quarter of the cores, at least one.

    The workers need cores too, and on a small or busy machine a multi-threaded forward
    pass of a small network mostly waits for its threads.
    """
    return max(1, (os.cpu_count() or 1) // 4)


def default_workers(network_on_gpu: bool = False) -> int:
    """Workers for a self-play run: a worker waits for the network most of the time, and
    more workers make larger batches, which the network evaluates faster per position.
    With the network on the CPU four per core; on a GPU, where the workers' own work
    is what limits, two per core."""
    return (2 if network_on_gpu else 4) * (os.cpu_count() or 1)


class WorkerPool:
    """N engine workers and one inference server per network, as a context manager.

    `networks` maps names to models; each server evaluates the inference copy of its
    network on `device` (network.inference_model), made when the pool starts. On the CPU
    the pool runs torch with `cpu_threads` threads while it is open (None: leave torch's
    setting alone; see default_cpu_threads). A worker that dies is reported and replaced
    (its game is played again) until `max_restarts` replacements have been made; then
    the run fails with PoolError. Engine faults and server errors fail the run at once.
    """

    def __init__(
        self,
        num_workers: int,
        networks: dict,
        device: Any = "auto",
        max_batch: int = 256,
        max_wait_ms: float = 2.0,
        *,
        verbose: bool = False,
        max_restarts: Optional[int] = None,
        max_consecutive_failures: int = 8,
        engine: str = DEFAULT_ENGINE,
        shutdown_grace_seconds: float = 10.0,
        cpu_threads: Optional[int] = default_cpu_threads(),
    ) -> None:
        if num_workers < 1:
            raise ValueError(f"need at least one worker, got {num_workers}")
        if not networks:
            raise ValueError("need at least one network")
        # The server module imports torch, which PyPy cannot install; importing this module must not.
        from .server import ClientPipes, resolve_device

        self.num_workers = num_workers
        self.networks = dict(networks)
        self.device = resolve_device(device)
        self.max_batch = max_batch
        self.max_wait_ms = max_wait_ms
        self.verbose = verbose
        self.max_restarts = num_workers if max_restarts is None else max_restarts
        self.max_consecutive_failures = max_consecutive_failures
        self.engine = engine
        self.shutdown_grace_seconds = shutdown_grace_seconds
        self.cpu_threads = cpu_threads
        self._saved_threads: Optional[int] = None
        self.stats = PoolStats()
        # Training records that arrived while the pool was shutting down or after a run was
        # abandoned; the caller should keep them.
        self.unclaimed_records: list = []
        self._context = multiprocessing.get_context("spawn")
        self._servers: dict = {}
        self._queues: dict[str, RequestQueue] = {}
        self._processes = WorkerProcesses(
            self._context, ClientPipes(), self._queues, engine,
            quiet=not verbose, max_restarts=self.max_restarts, stats=self.stats)
        self._jobs = JobRunner(self._processes, self._servers, self.stats, self.unclaimed_records,
                               max_consecutive_failures)
        self._started = False
        self._closed = False

    def __enter__(self) -> "WorkerPool":
        self.start()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def start(self) -> None:
        if self._started:
            return
        from .server import InferenceServer  # imports torch: see __init__

        self._started = True
        self._saved_threads = _limit_torch_threads(self.cpu_threads, self.device)
        try:
            for name, model in self.networks.items():
                self._queues[name] = RequestQueue(self._context)
                self._servers[name] = InferenceServer(
                    model, self._queues[name], self._processes.clients, self.device,
                    self.max_batch, self.max_wait_ms, name=name).start()
            for _ in range(self.num_workers):
                self._processes.spawn()
        except BaseException:
            self.close()
            raise

    def worker_pids(self) -> dict[int, int]:
        return self._processes.pids()

    def server_stats(self) -> dict:
        return {name: server.stats for name, server in self._servers.items()}

    def play_training_games(self, config: Any, n_games: int) -> Iterator[tuple]:
        """Yields the n_games training records `(id, (moves, policies, payoffs))` as they finish."""
        job = Job(TRAINING, config, self._network("model"))
        for worker, message in self._run(job, n_games):
            if not isinstance(message, JobDone):
                yield message

    def play_against_random(self, config: Any, n_games: int, network: str = "model",
                            match: Any = None) -> list[float]:
        """Seat 0's payoffs of n_games greedy matches of `network` against three random players."""
        if match is not None and not match.is_default():
            raise ValueError("searched matches and set openings need the batched engine: leave out --engine processes")
        job = Job(AGAINST_RANDOM, config, self._network(network))
        return [float(m[1]) for _, m in self._run(job, n_games) if not isinstance(m, JobDone)]

    def play_against_baseline(self, config: Any, n_games: int, model: str = "model",
                              baseline: str = "baseline") -> list[float]:
        """Seat 0's payoffs of n_games matches of `model` (seat 0) against `baseline` (seats 1-3)."""
        job = Job(AGAINST_BASELINE, config, self._network(model), self._network(baseline))
        return [float(m.value) for _, m in self._run(job, n_games) if isinstance(m, JobDone)]

    def play_head_to_head(self, config: Any, n_games: int, first: str = "model",
                          second: str = "baseline", match: Any = None) -> list[float]:
        raise ValueError("head-to-head matches need the batched engine: leave out --engine processes")

    def _network(self, name: str) -> str:
        if name not in self.networks:
            raise KeyError(f"no network named {name!r} in this pool (have: {', '.join(self.networks)})")
        return name

    def _run(self, job: Job, n: int) -> Iterator[tuple]:
        """Plays n successful jobs; yields (worker, message) for each success's messages."""
        if not self._started or self._closed:
            raise PoolError("the pool is not running (use it inside a with block)")
        yield from self._jobs.run(job, n)

    def close(self) -> None:
        """Stops the servers and every worker; never leaves a process behind."""
        if self._closed:
            return
        self._closed = True
        self._jobs.closing = True
        _stop_servers(self._servers.values())
        self._processes.close(self.shutdown_grace_seconds, self._jobs.consume_strays)
        for q in self._queues.values():
            q.close()
        if self._saved_threads is not None:
            _restore_torch_threads(self._saved_threads)


def _stop_servers(servers: Any) -> None:
    """Asks every inference server to stop, then waits for each in turn."""
    for server in servers:
        server.stop()
    for server in servers:
        if not server.join(timeout=30):
            log.error("inference server %r did not stop in time", server.name)


def _limit_torch_threads(threads: Optional[int], device: Any) -> Optional[int]:
    """Sets torch's thread count for a network served on the CPU; returns the count to
    restore, or None where it was left alone (no limit asked for, or not on the CPU)."""
    if threads is None or device.type != "cpu":
        return None
    import torch

    saved = torch.get_num_threads()
    torch.set_num_threads(threads)
    return saved


def _restore_torch_threads(threads: int) -> None:
    import torch

    torch.set_num_threads(threads)
