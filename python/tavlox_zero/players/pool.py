"""The worker pool: engine worker processes beside one inference server per network.

The pool spawns the workers (see worker.py), hands them jobs, and gathers their
records and reports. The evaluation requests of all workers go through one inference
queue per network (see transport.py), served by an InferenceServer thread of this
process.

Shutdown: the pool stops the servers and closes every pipe; a worker blocked in
`recv` then gets EOFError, the engine abandons its game (status 1) and the worker
exits. Results still in flight are drained before the processes are joined; whatever
does not exit in time is terminated, then killed.
"""

from __future__ import annotations

import collections
import logging
import multiprocessing
import multiprocessing.connection
import os
import signal
import time
from dataclasses import dataclass, field
from typing import Any, Iterator, Optional

from ..engine.constants import CHANNELS_FIRST, CHANNELS_LAST
from .transport import RequestQueue
from .worker import AGAINST_BASELINE, AGAINST_RANDOM, FAULT, OK, TRAINING, Job, JobDone, StartupError, worker_main

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


class PoolError(RuntimeError):
    """The pool cannot go on: a worker fault, an inference server error, or too many deaths."""


@dataclass
class PoolStats:
    """Totals over the pool's life."""

    games: int = 0
    failed_games: int = 0
    abandoned_games: int = 0  # games cut short by closing the pool
    lost_games: int = 0
    worker_deaths: int = 0
    evaluations: int = 0
    round_trip_seconds: float = 0.0
    game_seconds: float = 0.0
    # The errors of the most recent failed games.
    failures: collections.deque = field(default_factory=lambda: collections.deque(maxlen=20))

    @property
    def engine_seconds(self) -> float:
        """Time the workers spent in the engine itself (games minus waiting for replies)."""
        return self.game_seconds - self.round_trip_seconds


class _Worker:
    def __init__(self, worker_id: int, process: Any, results: Any) -> None:
        self.id = worker_id
        self.process = process
        self.results = results
        self.job: Optional[Job] = None
        self.delivered = False
        self.closing = False


_DIED = object()


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
        from .server import resolve_device

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
        self._workers: dict[int, _Worker] = {}
        self._events: collections.deque = collections.deque()
        self._next_id = 0
        self._restarts = 0
        self._servers: dict = {}
        self._queues: dict[str, RequestQueue] = {}
        self._clients = None
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
        from .server import ClientPipes, InferenceServer

        self._started = True
        self._clients = ClientPipes()
        self._limit_threads()
        try:
            for name, model in self.networks.items():
                self._queues[name] = RequestQueue(self._context)
                self._servers[name] = InferenceServer(
                    model, self._queues[name], self._clients, self.device,
                    self.max_batch, self.max_wait_ms, name=name).start()
            for _ in range(self.num_workers):
                self._spawn()
        except BaseException:
            self.close()
            raise

    def worker_pids(self) -> dict[int, int]:
        return {w.id: w.process.pid for w in self._workers.values()}

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
        if n <= 0:
            return
        self._settle()
        for server in self._servers.values():
            server.channels_last = getattr(job.config, "rep", CHANNELS_FIRST) == CHANNELS_LAST
        todo, succeeded, consecutive_failures = n, 0, 0
        completed = False
        try:
            while succeeded < n:
                todo = self._dispatch(job, todo)
                self._poll(0.1)
                while self._events and succeeded < n:
                    worker, message = self._events.popleft()
                    if message is _DIED:
                        if worker.job is not None and not worker.delivered:
                            todo += 1
                            self.stats.lost_games += 1
                    elif isinstance(message, JobDone):
                        worker.job = None
                        self._account(message)
                        if message.status == FAULT:
                            raise PoolError(f"worker {message.worker_id} stopped on an engine fault: {message.error}")
                        if message.status == OK and job.kind == AGAINST_BASELINE:
                            succeeded += 1
                            consecutive_failures = 0
                            yield worker, message
                        elif message.status != OK or not worker.delivered:
                            todo += 1
                            consecutive_failures += 1
                            self._check_failures(message, consecutive_failures)
                    else:
                        worker.delivered = True
                        succeeded += 1
                        consecutive_failures = 0
                        yield worker, message
                self._check_servers()
            completed = True
        finally:
            self._set_active_clients()
            if completed:
                self._settle()

    def _dispatch(self, job: Job, todo: int) -> int:
        for worker in self._workers.values():
            if todo == 0:
                break
            if worker.job is None and not worker.closing and self._clients.send(worker.id, job):
                worker.job, worker.delivered = job, False
                todo -= 1
        self._set_active_clients()
        return todo

    def _set_active_clients(self) -> None:
        busy = sum(1 for w in self._workers.values() if w.job is not None)
        for server in self._servers.values():
            server.active_clients = busy

    def _settle(self) -> None:
        """Waits until no worker has a job (after an abandoned run), keeping stray records."""
        self._consume_strays()
        while any(w.job is not None for w in self._workers.values()):
            self._poll(0.1)
            self._consume_strays()
            self._check_servers()

    def _consume_strays(self) -> None:
        """Handles the waiting events outside a run: reports end jobs, records are kept."""
        while self._events:
            worker, message = self._events.popleft()
            if isinstance(message, JobDone):
                worker.job = None
                self._account(message)
            elif message is not _DIED and worker.job is not None and worker.job.kind == TRAINING:
                self.unclaimed_records.append(message)

    def _account(self, done: JobDone) -> None:
        stats = self.stats
        stats.evaluations += done.evaluations
        stats.round_trip_seconds += done.round_trip_seconds
        stats.game_seconds += done.game_seconds
        if done.status == OK:
            stats.games += 1
        elif self._closed:
            stats.abandoned_games += 1
        else:
            stats.failed_games += 1
            stats.failures.append(done.error)

    def _check_failures(self, done: JobDone, consecutive: int) -> None:
        reason = done.error or "the engine returned status 1 (an evaluation or the search failed)"
        log.warning("worker %d: game failed and will be replayed: %s", done.worker_id, reason)
        if consecutive >= self.max_consecutive_failures:
            raise PoolError(f"{consecutive} games in a row failed; the last: {reason}")

    def _check_servers(self) -> None:
        for name, server in self._servers.items():
            if server.error is not None:
                raise PoolError(f"the inference server of network {name!r} failed: {server.error!r}") from server.error

    def _poll(self, timeout: float) -> None:
        """Waits up to `timeout` for worker messages or exits; queues (worker, message or _DIED)."""
        by_connection = {w.results: w for w in self._workers.values()}
        by_sentinel = {w.process.sentinel: w for w in self._workers.values()}
        ready = multiprocessing.connection.wait(list(by_connection) + list(by_sentinel), timeout)
        dead: list = []
        for handle in ready:
            worker = by_connection.get(handle) or by_sentinel[handle]
            if worker in dead:
                continue
            if not self._drain(worker) or handle in by_sentinel:
                dead.append(worker)
        for worker in dead:
            self._events.append((worker, _DIED))
            self._bury(worker)

    def _drain(self, worker: _Worker) -> bool:
        """Reads every waiting message of one worker; False once its pipe has closed."""
        try:
            while worker.results.poll():
                message = worker.results.recv()
                if isinstance(message, StartupError):
                    raise PoolError(f"worker {message.worker_id} could not start: {message.error}")
                self._events.append((worker, message))
        except (EOFError, OSError):
            return False
        return True

    def _bury(self, worker: _Worker) -> None:
        del self._workers[worker.id]
        self._clients.remove(worker.id)
        worker.process.join(timeout=5)
        worker.results.close()
        if worker.closing:
            return
        self.stats.worker_deaths += 1
        description = _describe_exit(worker)
        if self._restarts >= self.max_restarts:
            raise PoolError(f"{description}; no restarts left (max_restarts={self.max_restarts})")
        self._restarts += 1
        replacement = self._spawn()
        log.error("%s; started worker %d in its place", description, replacement.id)

    def _spawn(self) -> _Worker:
        worker_id = self._next_id
        self._next_id += 1
        jobs_end, jobs_pipe = self._context.Pipe(duplex=False)
        results_pipe, results_end = self._context.Pipe(duplex=False)
        senders = {name: q.sender() for name, q in self._queues.items()}
        process = self._context.Process(
            target=worker_main,
            args=(worker_id, jobs_end, results_end, senders, self.engine, not self.verbose),
            name=f"tavlox-worker-{worker_id}",
            daemon=True,
        )
        # Blocked signals stay blocked across the exec: the new interpreter cannot be
        # interrupted before it has set itself to ignore Ctrl-C.
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            process.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        # Only the worker may hold these ends, so that either side sees the other's death.
        jobs_end.close()
        results_end.close()
        for sender in senders.values():
            sender.close()
        self._clients.add(worker_id, jobs_pipe)
        worker = _Worker(worker_id, process, results_pipe)
        self._workers[worker_id] = worker
        return worker

    def close(self) -> None:
        """Stops the servers and every worker; never leaves a process behind."""
        if self._closed:
            return
        self._closed = True
        for server in self._servers.values():
            server.stop()
        for server in self._servers.values():
            if not server.join(timeout=30):
                log.error("inference server %r did not stop in time", server.name)
        for worker in self._workers.values():
            worker.closing = True
        if self._clients is not None:
            self._clients.close_all()
        self._drain_until_exit(time.monotonic() + self.shutdown_grace_seconds)
        self._reap()
        for q in self._queues.values():
            q.close()
        if self._saved_threads is not None:
            import torch

            torch.set_num_threads(self._saved_threads)

    def _limit_threads(self) -> None:
        if self.cpu_threads is None or self.device.type != "cpu":
            return
        import torch

        self._saved_threads = torch.get_num_threads()
        torch.set_num_threads(self.cpu_threads)

    def _drain_until_exit(self, deadline: float) -> None:
        while self._workers and time.monotonic() < deadline:
            try:
                self._poll(0.1)
            except PoolError:
                continue
            finally:
                self._consume_strays()
        self._consume_strays()

    def _reap(self) -> None:
        for worker in list(self._workers.values()):
            process = worker.process
            if process.is_alive():
                log.warning("worker %d did not exit in time; terminating it", worker.id)
                process.terminate()
                process.join(timeout=2)
            if process.is_alive():
                process.kill()
                process.join(timeout=2)
            worker.results.close()
        self._workers.clear()


def _describe_exit(worker: _Worker) -> str:
    code = worker.process.exitcode
    text = f"worker {worker.id} (pid {worker.process.pid}) died"
    if code is not None and code < 0:
        try:
            text += f" from signal {signal.Signals(-code).name}"
        except ValueError:
            text += f" from signal {-code}"
    elif code is not None:
        text += f" with exit code {code}"
    if worker.job is not None and not worker.delivered:
        text += " while playing a game"
    return text
