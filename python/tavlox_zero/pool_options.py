"""How the games of a command are played: the pool settings shared by selfplay, evaluate and loop.

Each field of PoolSettings is one command-line option whose destination is the
field's name, so a new setting is a field, its option in `add_arguments`, and its
use in `open_pool`.
"""

from __future__ import annotations

import argparse
from dataclasses import dataclass, field, fields, replace
from typing import Optional

from .pool import WorkerPool, default_cpu_threads, default_workers


@dataclass
class PoolSettings:
    """Worker processes and the inference servers beside them.

    workers None: as many as default_workers gives for the device; device "auto": CUDA
    when present, else the CPU; threads: torch threads for a network on the CPU (the
    loop trains with as many).
    """

    workers: Optional[int] = None
    device: str = "auto"
    max_batch: int = 256
    max_wait_ms: float = 2.0
    threads: int = field(default_factory=default_cpu_threads)

    @classmethod
    def add_arguments(cls, parser: argparse.ArgumentParser) -> None:
        defaults = cls()
        group = parser.add_argument_group("pool")
        group.add_argument("--workers", type=int, default=defaults.workers,
                           help=f"worker processes playing games (default: four per CPU, {default_workers()}, "
                                f"or two per CPU, {default_workers(True)}, with the network on a GPU)")
        group.add_argument("--device", default=defaults.device,
                           help="where the network runs: auto (CUDA when present), cpu, cuda, cuda:N")
        group.add_argument("--max-batch", type=int, default=defaults.max_batch,
                           help="largest inference batch (default %(default)s)")
        group.add_argument("--max-wait-ms", type=float, default=defaults.max_wait_ms,
                           help="longest a request waits for its batch to fill (default %(default)s)")
        group.add_argument("--threads", type=int, default=defaults.threads,
                           help="torch threads for a network on the CPU, and for training in the loop "
                                "(default: a quarter of the CPUs, %(default)s)")

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> "PoolSettings":
        """The settings the options give, resolved; raises ValueError (or torch's RuntimeError
        for an unknown device) naming the option at fault."""
        return cls(**{f.name: getattr(args, f.name) for f in fields(cls)}).resolved()

    def resolved(self) -> "PoolSettings":
        """A copy with the device and the worker count decided and every value checked."""
        from .server import resolve_device

        for option, value, least in (("--workers", self.workers, 1), ("--max-batch", self.max_batch, 1),
                                     ("--max-wait-ms", self.max_wait_ms, 0), ("--threads", self.threads, 1)):
            if value is not None and value < least:
                raise ValueError(f"{option} must be at least {least}, got {value}")
        device = resolve_device(self.device)
        return replace(self, device=str(device), workers=self.workers or default_workers(device.type == "cuda"))


def open_pool(networks: dict, settings: PoolSettings) -> WorkerPool:
    """The pool that plays with `networks` (name to model) as `settings` say; use it as a context manager."""
    settings = settings.resolved()
    return WorkerPool(
        settings.workers, networks, settings.device,
        max_batch=settings.max_batch, max_wait_ms=settings.max_wait_ms, cpu_threads=settings.threads,
    )
