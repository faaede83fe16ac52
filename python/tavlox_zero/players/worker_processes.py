"""The worker pool's engine processes: spawned, read, buried and replaced, and stopped.

WorkerProcesses starts the workers (see worker.py), reads their messages into one queue of
events, replaces a worker that dies until its restarts run out, and on closing lets the
workers exit on their own within a grace period before it terminates, then kills, the rest.
What the messages mean for the pool's jobs is the job runner's business (job_runner.py).
"""

from __future__ import annotations

import collections
import logging
import multiprocessing.connection
import signal
import time
from typing import Any, Callable, Optional

from .pool_stats import PoolError, PoolStats
from .worker import Job, StartupError, worker_main

log = logging.getLogger(__name__)

# The event of a worker whose process has exited or whose results pipe has closed.
DIED = object()


class Worker:
    """One worker process, its results pipe, and the job it was last handed."""

    def __init__(self, worker_id: int, process: Any, results: Any) -> None:
        self.id = worker_id
        self.process = process
        self.results = results
        self.job: Optional[Job] = None
        self.delivered = False  # the engine's own result of the job came (before its JobDone)
        self.closing = False  # the pool is stopping it: its exit is no death


class WorkerProcesses:
    """The live workers by id, and the events read from them: `(worker, message or DIED)`.

    `clients` holds each worker's job pipe, which the inference servers also answer on;
    `queues` are the networks' inference queues, filled before the first spawn. A worker
    that dies is counted in `stats` and replaced until `max_restarts` replacements have
    been made; then PoolError is raised.
    """

    def __init__(self, context: Any, clients: Any, queues: dict, engine: str, *,
                 quiet: bool, max_restarts: int, stats: PoolStats) -> None:
        self.context = context
        self.clients = clients
        self.queues = queues
        self.engine = engine
        self.quiet = quiet
        self.max_restarts = max_restarts
        self.stats = stats
        self.workers: dict[int, Worker] = {}
        self.events: collections.deque = collections.deque()
        self._next_id = 0
        self._restarts = 0

    def pids(self) -> dict[int, int]:
        return {w.id: w.process.pid for w in self.workers.values()}

    def busy(self) -> int:
        """How many workers hold a job."""
        return sum(1 for w in self.workers.values() if w.job is not None)

    def spawn(self) -> Worker:
        worker_id = self._next_id
        self._next_id += 1
        jobs_end, jobs_pipe = self.context.Pipe(duplex=False)
        results_pipe, results_end = self.context.Pipe(duplex=False)
        senders = {name: q.sender() for name, q in self.queues.items()}
        process = self.context.Process(
            target=worker_main,
            args=(worker_id, jobs_end, results_end, senders, self.engine, self.quiet),
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
        self.clients.add(worker_id, jobs_pipe)
        worker = Worker(worker_id, process, results_pipe)
        self.workers[worker_id] = worker
        return worker

    def poll(self, timeout: float) -> None:
        """Waits up to `timeout` for worker messages or exits; queues (worker, message or DIED)."""
        by_connection = {w.results: w for w in self.workers.values()}
        by_sentinel = {w.process.sentinel: w for w in self.workers.values()}
        ready = multiprocessing.connection.wait(list(by_connection) + list(by_sentinel), timeout)
        dead: list = []
        for handle in ready:
            worker = by_connection.get(handle) or by_sentinel[handle]
            if worker in dead:
                continue
            if not self._drain(worker) or handle in by_sentinel:
                dead.append(worker)
        for worker in dead:
            self.events.append((worker, DIED))
            self._bury(worker)

    def _drain(self, worker: Worker) -> bool:
        """Reads every waiting message of one worker; False once its pipe has closed."""
        try:
            while worker.results.poll():
                message = worker.results.recv()
                if isinstance(message, StartupError):
                    raise PoolError(f"worker {message.worker_id} could not start: {message.error}")
                self.events.append((worker, message))
        except (EOFError, OSError):
            return False
        return True

    def _bury(self, worker: Worker) -> None:
        del self.workers[worker.id]
        self.clients.remove(worker.id)
        worker.process.join(timeout=5)
        worker.results.close()
        if worker.closing:
            return
        self.stats.worker_deaths += 1
        description = describe_exit(worker)
        if self._restarts >= self.max_restarts:
            raise PoolError(f"{description}; no restarts left (max_restarts={self.max_restarts})")
        self._restarts += 1
        replacement = self.spawn()
        log.error("%s; started worker %d in its place", description, replacement.id)

    def close(self, grace_seconds: float, handle_events: Callable[[], None]) -> None:
        """Closes every job pipe, so that each worker abandons its game and exits; waits up
        to `grace_seconds` for them, passing what they still send to `handle_events`, then
        terminates, and at last kills, whatever is left."""
        for worker in self.workers.values():
            worker.closing = True
        self.clients.close_all()
        self._drain_until_exit(time.monotonic() + grace_seconds, handle_events)
        self._reap()

    def _drain_until_exit(self, deadline: float, handle_events: Callable[[], None]) -> None:
        while self.workers and time.monotonic() < deadline:
            try:
                self.poll(0.1)
            except PoolError:
                continue
            finally:
                handle_events()
        handle_events()

    def _reap(self) -> None:
        for worker in list(self.workers.values()):
            process = worker.process
            if process.is_alive():
                log.warning("worker %d did not exit in time; terminating it", worker.id)
                process.terminate()
                process.join(timeout=2)
            if process.is_alive():
                process.kill()
                process.join(timeout=2)
            worker.results.close()
        self.workers.clear()


def describe_exit(worker: Worker) -> str:
    """`worker N (pid P) died` with the signal or exit code, and whether it was mid-game."""
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
