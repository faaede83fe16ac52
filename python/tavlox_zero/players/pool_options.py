"""How the games of a command are played: the settings shared by selfplay, evaluate and loop.

Two engines play them: the batched engine (the default: many games in this process, one
network call per batch) and the pool of worker processes, one game per process.

Each setting of POOL is one field of PoolSettings and one command-line option whose
destination is the field's name, so a new setting is a Setting in POOL and its use in
`open_players`.
"""

from __future__ import annotations

import argparse
import os
import warnings
from dataclasses import asdict, fields, replace
from typing import Optional

from ..base.settings import Schema, Setting, settings_dataclass
from ..engine.batched import EngineError, NetworkError, default_search_threads
from ..engine.search_settings import MatchSettings, SearchSettings
from ..nets.inference import BACKENDS, available_backends
from .batched_player import BatchedPlayer
from . import distributed
from .pool import PoolError, WorkerPool, default_cpu_threads, default_workers


def play_errors() -> tuple:
    """The exceptions that end a command's games early without losing finished ones."""
    return (PoolError, EngineError, NetworkError, distributed.DistributedError)


ENGINES = ("batched", "processes")
DEFAULT_GAMES_IN_FLIGHT = 256

POOL = Schema("engine", (
    Setting("engine", str, "batched", choices=ENGINES,
            help="batched: many games in this process, one network call per batch (default); "
                 "processes: one game per worker process"),
    Setting("games_in_flight", int, DEFAULT_GAMES_IN_FLIGHT, min=1,
            help="games the batched engine plays at once (default {default})"),
    Setting("search_threads", int, optional=True, min=1,
            help="search threads of the batched engine (default: half the CPUs, or every CPU "
                 "with the network on a GPU)"),
    Setting("game_seed", int, optional=True,
            help="seed of the batched engine's games: the same seed plays the same games on the "
                 "same backend; auto picks the fastest and may pick another on another day, so "
                 "name --backend to replay them (default: a new one every run)"),
    Setting("ray", str, optional=True, const="auto", metavar="ADDRESS",
            help="play on Ray actors: join the cluster at ADDRESS, or with no address (or "
                 "'auto') a running cluster, else a new local one"),
    Setting("actors", int, optional=True, min=1,
            help="Ray actors (default: one per GPU with --gpus-per-actor, else one per group of CPUs)"),
    Setting("gpus_per_actor", float, 0.0, min=0, help="GPUs per Ray actor; 0 plays on the CPU (default {default})"),
    Setting("cpus_per_actor", float, optional=True, min=0, min_exclusive=True,
            help="CPUs per Ray actor (default: its search threads plus its torch threads)"),
    Setting("workers", int, optional=True, min=1,
            help=f"worker processes playing games (default: four per CPU, {default_workers()}, "
                 f"or two per CPU, {default_workers(True)}, with the network on a GPU)"),
    Setting("device", str, "auto", help="where the network runs: auto (CUDA when present), cpu, cuda, cuda:N"),
    Setting("max_batch", int, 256, min=1, help="largest inference batch (default {default})"),
    Setting("max_wait_ms", float, 2.0, min=0, help="longest a request waits for its batch to fill (default {default})"),
    Setting("threads", int, optional=True, min=1,
            help="CPU threads of a network on the CPU, and of training in the loop (default: "
                 f"every CPU, {os.cpu_count() or 1}, with the batched engine, whose search "
                 f"takes little; a quarter of them, {default_cpu_threads()}, for worker "
                 "processes or Ray actors)"),
    Setting("backend", str, "auto", choices=BACKENDS,
            help="what runs the network: auto (the fastest backend here that agrees with fp32 "
                 "PyTorch), torch (fp32), torch-bf16, onnxruntime or openvino (default {default})"),
), what="pool settings")


@settings_dataclass(POOL)
class PoolSettings:
    """The engine, and where and how widely it plays.

    engine: "batched" or "processes"; workers None: as many as default_workers gives for
    the device; device "auto": CUDA when present, else the CPU; threads: CPU threads of a
    network on the CPU (the loop trains with as many; None: see `resolved`); backend: what
    runs the network (see inference.BACKENDS; the process pool serves fp32 PyTorch only).
    games_in_flight, search_threads and game_seed are the batched engine's; ray (a cluster address, or "auto"), actors,
    gpus_per_actor and cpus_per_actor spread it over Ray actors; workers, max_batch and
    max_wait_ms are the pool's.
    """

    def __post_init__(self) -> None:
        for name, value in POOL.validate(asdict(self)).items():
            setattr(self, name, value)

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        POOL.add_arguments(parser)

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> "PoolSettings":
        """The settings the options give, resolved; raises ValueError (or torch's RuntimeError
        for an unknown device) naming the option at fault."""
        return cls(**{f.name: getattr(args, f.name) for f in fields(cls)}).resolved()

    def to_dict(self) -> dict:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: Optional[dict]) -> "PoolSettings":
        """The settings of a dict; missing keys keep their defaults, unknown ones are refused."""
        return cls(**POOL.known(values))

    def resolved(self) -> "PoolSettings":
        """A copy with the device and the worker count decided and every value checked."""
        from .server import resolve_device

        if self.engine == "processes" and self.backend not in ("auto", "torch"):
            raise ValueError("--backend other than torch needs the batched engine: leave out --engine processes")
        if self.ray is not None:
            if not distributed.ray_available():
                raise ValueError(distributed.RAY_MISSING)
            if self.engine != "batched":
                raise ValueError("--ray plays with the batched engine: leave out --engine processes")
        device = resolve_device(self.device)
        on_gpu = device.type == "cuda"
        unavailable = available_backends(device).get(self.backend)
        if unavailable:
            raise ValueError(f"--backend {self.backend}: {unavailable}")
        # On two cores the batched engine's search took under a fifth of a core while the network
        # ran on both (bench/bench_backends.py): the network gets every CPU.
        threads = self.threads or (os.cpu_count() or 1 if self.engine == "batched" and self.ray is None
                                   else default_cpu_threads())
        return replace(self, device=str(device), workers=self.workers or default_workers(on_gpu),
                       search_threads=self.search_threads or default_search_threads(on_gpu), threads=threads)


def open_players(networks: dict, settings: PoolSettings, search: Optional[SearchSettings] = None,
              match: Optional[MatchSettings] = None) -> "WorkerPool | BatchedPlayer":
    """What plays with `networks` (name to model) as `settings` say, searching as `search` and
    playing matches as `match` say (default: the engines' own ways); use it as a context manager.

    Both engines offer play_training_games, play_against_random, play_against_baseline,
    unclaimed_records and stats; the batched engine also play_head_to_head and other
    search and match settings."""
    search, match = search or SearchSettings(), match or MatchSettings()
    settings = settings.resolved()
    if settings.engine != "batched" and not (search.is_default() and match.is_default()):
        raise ValueError("search and match settings other than the defaults need the batched engine: "
                         "leave out --engine processes")
    if settings.ray is not None:
        return distributed.RayPlayer(networks, settings.device, address=settings.ray, actors=settings.actors,
                         gpus_per_actor=settings.gpus_per_actor, cpus_per_actor=settings.cpus_per_actor,
                         games_in_flight=settings.games_in_flight, search_threads=settings.search_threads,
                         seed=settings.game_seed, cpu_threads=settings.threads, search=search, match=match,
                         backend=settings.backend)
    if settings.engine == "batched":
        return BatchedPlayer(networks, settings.device, games_in_flight=settings.games_in_flight,
                             search_threads=settings.search_threads, seed=settings.game_seed,
                             cpu_threads=settings.threads, search=search, match=match,
                             backend=settings.backend)
    return WorkerPool(
        settings.workers, networks, settings.device,
        max_batch=settings.max_batch, max_wait_ms=settings.max_wait_ms, cpu_threads=settings.threads,
    )


def open_pool(*args, **kwargs) -> "WorkerPool | BatchedPlayer":
    """Deprecated name of open_players, kept for one release."""
    warnings.warn("open_pool is now open_players", DeprecationWarning, stacklevel=2)
    return open_players(*args, **kwargs)
