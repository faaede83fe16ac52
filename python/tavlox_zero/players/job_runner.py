"""The worker pool's jobs: handed to idle workers, their outcomes counted, the lost and
failed ones played again until a run has its games.

A run ends when n jobs have succeeded. A game lost with a dying worker or abandoned by the
engine is played again; an engine fault, an inference server error, or too many failed
games in a row end the run with PoolError. Messages that arrive outside a run (after an
abandoned run, or while the pool closes) are still counted, and training records among
them are kept as unclaimed.
"""

from __future__ import annotations

import logging
from typing import Any, Iterator

from ..engine.constants import CHANNELS_FIRST, CHANNELS_LAST
from .pool_stats import PoolError, PoolStats
from .worker import AGAINST_BASELINE, FAULT, OK, TRAINING, Job, JobDone
from .worker_processes import DIED, Worker, WorkerProcesses

log = logging.getLogger(__name__)

# What one event means for the run that reads it.
SUCCESS = "success"
LOST_GAME = "lost game"  # the worker died before its game's result came
FAILED_GAME = "failed game"  # the engine abandoned the game, or finished it without a result


class JobRunner:
    """Runs jobs on `processes`, with `servers` (name: InferenceServer) answering them.

    Training records that arrive outside a run go to `unclaimed_records`; `closing` is set
    when the pool closes, after which a game that did not finish counts as abandoned.
    """

    def __init__(self, processes: WorkerProcesses, servers: dict, stats: PoolStats,
                 unclaimed_records: list, max_consecutive_failures: int) -> None:
        self.processes = processes
        self.servers = servers
        self.stats = stats
        self.unclaimed_records = unclaimed_records
        self.max_consecutive_failures = max_consecutive_failures
        self.closing = False

    def run(self, job: Job, n: int) -> Iterator[tuple]:
        """Plays n successful jobs; yields (worker, message) for each success's messages."""
        if n <= 0:
            return
        self.settle()
        for server in self.servers.values():
            server.channels_last = getattr(job.config, "rep", CHANNELS_FIRST) == CHANNELS_LAST
        events = self.processes.events
        todo, succeeded, consecutive_failures = n, 0, 0
        completed = False
        try:
            while succeeded < n:
                todo = self._dispatch(job, todo)
                self.processes.poll(0.1)
                while events and succeeded < n:
                    worker, message = events.popleft()
                    outcome = self._outcome(job, worker, message)
                    if outcome == SUCCESS:
                        succeeded += 1
                        consecutive_failures = 0
                        yield worker, message
                    elif outcome == LOST_GAME:
                        todo += 1
                    elif outcome == FAILED_GAME:
                        todo += 1
                        consecutive_failures += 1
                        self._check_failures(message, consecutive_failures)
                self._check_servers()
            completed = True
        finally:
            self._set_active_clients()
            if completed:
                self.settle()

    def _outcome(self, job: Job, worker: Worker, message: Any) -> str | None:
        """Records one event of a run on its worker and in the stats; says what it means."""
        if message is DIED:
            if worker.job is not None and not worker.delivered:
                self.stats.lost_games += 1
                return LOST_GAME
            return None
        if isinstance(message, JobDone):
            worker.job = None
            self._account(message)
            if message.status == FAULT:
                raise PoolError(f"worker {message.worker_id} stopped on an engine fault: {message.error}")
            if message.status == OK and job.kind == AGAINST_BASELINE:
                return SUCCESS
            if message.status != OK or not worker.delivered:
                return FAILED_GAME
            return None
        worker.delivered = True
        return SUCCESS

    def _dispatch(self, job: Job, todo: int) -> int:
        """Hands the job to idle workers, up to `todo` of them; returns how many are left to hand."""
        for worker in self.processes.workers.values():
            if todo == 0:
                break
            if worker.job is None and not worker.closing and self.processes.clients.send(worker.id, job):
                worker.job, worker.delivered = job, False
                todo -= 1
        self._set_active_clients()
        return todo

    def _set_active_clients(self) -> None:
        busy = self.processes.busy()
        for server in self.servers.values():
            server.active_clients = busy

    def settle(self) -> None:
        """Waits until no worker has a job (after an abandoned run), keeping stray records."""
        self.consume_strays()
        while any(w.job is not None for w in self.processes.workers.values()):
            self.processes.poll(0.1)
            self.consume_strays()
            self._check_servers()

    def consume_strays(self) -> None:
        """Handles the waiting events outside a run: reports end jobs, records are kept."""
        events = self.processes.events
        while events:
            worker, message = events.popleft()
            if isinstance(message, JobDone):
                worker.job = None
                self._account(message)
            elif message is not DIED and worker.job is not None and worker.job.kind == TRAINING:
                self.unclaimed_records.append(message)

    def _account(self, done: JobDone) -> None:
        stats = self.stats
        stats.evaluations += done.evaluations
        stats.round_trip_seconds += done.round_trip_seconds
        stats.game_seconds += done.game_seconds
        if done.status == OK:
            stats.games += 1
        elif self.closing:
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
        for name, server in self.servers.items():
            if server.error is not None:
                raise PoolError(f"the inference server of network {name!r} failed: {server.error!r}") from server.error
