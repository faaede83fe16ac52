"""The body of an engine worker process, and the messages it exchanges with the pool.

A worker is a process (spawned, never forked from a process running torch) that
loops: take a job from its pipe, call one engine function with its own id, report.
Its pipe carries both the jobs and, during a game, the network's replies; a second
pipe carries its results back. The worker imports only the engine, this module and
the transport (NumPy), never torch.

When the parent closes the worker's pipes, a worker blocked in `recv` gets EOFError,
the engine abandons its game (status 1) and the worker exits.
"""

from __future__ import annotations

import importlib
import os
import signal
import time
from dataclasses import dataclass
from typing import Any, Optional

from ..engine.constants import AGAINST_BASELINE, AGAINST_RANDOM, TRAINING  # noqa: F401 - the job kinds
from .transport import ResultChannel, TimedPipe, TimedSender

# Job outcomes reported by a worker.
OK = 0
FAILED = 1  # the engine abandoned the game (an evaluation or the search failed)
FAULT = 2  # the engine stopped on an internal fault (PanicException) or a Python error


@dataclass(frozen=True)
class Job:
    kind: str
    config: Any
    network: str
    baseline: Optional[str] = None


@dataclass(frozen=True)
class JobDone:
    """A worker's report after each job; follows the engine's own result on the same pipe."""

    worker_id: int
    status: int
    value: Optional[float] = None
    error: Optional[str] = None
    evaluations: int = 0
    round_trip_seconds: float = 0.0
    game_seconds: float = 0.0


@dataclass(frozen=True)
class StartupError:
    worker_id: int
    error: str


def worker_main(worker_id: int, jobs: Any, results: Any, senders: dict, engine_name: str, quiet: bool) -> None:
    """Body of a worker process: plays the jobs sent on `jobs` until it is closed or sent None."""
    # Ctrl-C reaches the whole process group; the parent alone decides how to stop. The
    # worker was started with SIGINT blocked, so one that came during its start-up is dropped.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    if quiet:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    try:
        engine = importlib.import_module(engine_name)
    except ImportError as error:
        results.send(StartupError(worker_id, f"cannot import the engine module {engine_name!r}: {error}"))
        return
    channel = ResultChannel(results)
    while True:
        try:
            job = jobs.recv()
        except (EOFError, OSError):
            return
        if job is None:
            return
        done = _play(engine, worker_id, job, jobs, channel, senders)
        try:
            results.send(done)
        except OSError:
            return


def _play(engine: Any, worker_id: int, job: Job, jobs: Any, channel: ResultChannel, senders: dict) -> JobDone:
    pipe = TimedPipe(jobs)
    started = time.perf_counter()
    value = None
    try:
        if job.kind == TRAINING:
            status = engine.play_training_game(
                worker_id, job.config, channel, TimedSender(senders[job.network], pipe), pipe)
        elif job.kind == AGAINST_RANDOM:
            status = engine.play_test_against_random(
                worker_id, job.config, channel, TimedSender(senders[job.network], pipe), pipe)
        else:
            value = engine.play_test_game(
                worker_id, job.config, channel,
                TimedSender(senders[job.network], pipe), TimedSender(senders[job.baseline], pipe), pipe)
            status = OK
        error = None
    except Exception as failure:
        # The baseline match raises Exception when an evaluation fails; the others return 1.
        status, error = FAILED, f"{type(failure).__name__}: {failure}"
    except BaseException as fault:
        if isinstance(fault, (KeyboardInterrupt, SystemExit)):
            raise
        status, error = FAULT, f"{type(fault).__name__}: {fault}"
    return JobDone(worker_id, int(status), value, error, pipe.round_trips, pipe.round_trip_seconds,
                   time.perf_counter() - started)
