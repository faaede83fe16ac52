"""The worker pool's names at their earlier import path, for scripts outside the package.

The code lives in transport.py (message plumbing), worker.py (the worker process) and
pool.py (the pool); the package itself imports from those.
"""

from .pool import DEFAULT_ENGINE, PoolError, PoolStats, WorkerPool, default_cpu_threads, default_workers
from .transport import RequestQueue, RequestSender
from .worker import (
    AGAINST_BASELINE,
    AGAINST_RANDOM,
    FAILED,
    FAULT,
    OK,
    TRAINING,
    Job,
    JobDone,
    StartupError,
    worker_main,
)

__all__ = [
    "AGAINST_BASELINE", "AGAINST_RANDOM", "DEFAULT_ENGINE", "FAILED", "FAULT", "OK", "TRAINING",
    "Job", "JobDone", "PoolError", "PoolStats", "RequestQueue", "RequestSender", "StartupError",
    "WorkerPool", "default_cpu_threads", "default_workers", "worker_main",
]
