"""Self-play and matches on a Ray cluster: one batched engine per actor, games streamed back.

Each actor holds inference copies of the networks (weights from Ray's object store) and runs
the batched engine on its node in a thread of its own; the driver hands every actor a share
of the game numbers and polls the finished games back, so it writes shards exactly as a
local run does and needs no shared file system. All actors share one seed: a game's draws
depend only on the seed and its number, so a game played again after its actor died is the
same game.

Faults: Ray restarts an actor that dies; the driver gives it back its networks and the
games of its share that had not come back, and takes each game number once.
"""

from __future__ import annotations

import importlib.util
import os
import secrets
import signal
import threading
import time
from dataclasses import asdict, dataclass, field, replace
from typing import Any, Iterator, Optional

import numpy as np

from .player import GamePlayer, PlayerStats
from ..engine.batched import BatchedEngine, EngineStats
from ..engine.engine_config import EngineConfig
from ..engine.search_settings import MatchSettings, SearchSettings
from ..nets.inference import make_network

RAY_MISSING = "--ray needs Ray: pip install 'tavlox[ray]' (or pip install 'ray[default]')"
POLL_SECONDS = 0.5
RESTART_SECONDS = 120.0


class DistributedError(RuntimeError):
    """An actor's run failed (its network function or its engine), so the run cannot go on."""


def ray_available() -> bool:
    return importlib.util.find_spec("ray") is not None


def connect(address: Optional[str] = "auto") -> Any:
    """Ray, connected: to the cluster at `address`, or with "auto" (or None) to a running
    cluster if there is one, else to a new local instance."""
    if not ray_available():
        raise RuntimeError(RAY_MISSING)
    import ray

    if ray.is_initialized():
        return ray
    options = {"include_dashboard": False, "log_to_driver": False}
    # Ray installs signal handlers of its own that end the process at once; the command's
    # handlers, which stop the run and keep its finished games, are put back.
    handlers = _signal_handlers()
    try:
        if address in (None, "auto"):
            try:
                ray.init(address="auto", **options)
            except ConnectionError:
                ray.init(**options)
        else:
            ray.init(address=address, **options)
    finally:
        _restore_signal_handlers(handlers)
    return ray


def _signal_handlers() -> dict:
    if threading.current_thread() is not threading.main_thread():
        return {}
    return {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGTERM)}


def _restore_signal_handlers(handlers: dict) -> None:
    for number, handler in handlers.items():
        if handler is not None:
            signal.signal(number, handler)


def network_payload(networks: dict) -> dict:
    """What travels to the actors: each network's architecture and its weights on the CPU."""
    from ..nets.network import model_config

    return {name: (model_config(model), {k: v.detach().cpu() for k, v in model.state_dict().items()})
            for name, model in networks.items()}


class GameActor:
    """The body of one Ray actor: networks, and at most one batched run at a time in a thread."""

    def __init__(self, payload: dict, device: str, games_in_flight: Optional[int],
                 search_threads: Optional[int], cpu_threads: Optional[int],
                 search: Optional[dict] = None, match: Optional[dict] = None, backend: str = "torch") -> None:
        import torch

        if cpu_threads:
            torch.set_num_threads(cpu_threads)
        self._device = device
        self._backend, self._cpu_threads = backend, cpu_threads
        self._options = {"games_in_flight": games_in_flight, "search_threads": search_threads,
                         "search": SearchSettings.from_dict(search), "match": MatchSettings.from_dict(match)}
        self._networks: dict = {}
        self._fingerprints: dict = {}
        self.set_networks(payload)
        self._changed = threading.Condition()
        self._outcomes: list = []
        self._thread: Optional[threading.Thread] = None
        self._engine: Any = None
        self._error: Optional[str] = None
        self._stats: Optional[dict] = None

    def pid(self) -> int:
        return os.getpid()

    def set_networks(self, payload: dict) -> None:
        """New weights (or networks), used from the next run on: each backend is built anew
        from them, so no run plays with an export of older weights."""
        from ..nets.network import build_model

        for name, (config, weights) in payload.items():
            model = build_model(config)
            model.load_state_dict(weights)
            self._networks[name] = make_network(model, self._device, self._backend, threads=self._cpu_threads)
            self._fingerprints[name] = float(sum(w.double().sum() for w in weights.values()))

    def evaluate(self, name: str, planes: Any) -> tuple:
        """Network `name`'s answers to `planes`, as the next run's games would get them."""
        policy, value = self._networks[name](planes)
        return np.array(policy, dtype=np.float32), np.array(value, dtype=np.float32)

    def fingerprint(self, name: str) -> float:
        """The sum of the weights of network `name`: which weights the next games use."""
        return self._fingerprints[name]

    def start(self, kind: str, config: dict, numbers: list, seed: int, names: list,
              match: Optional[dict] = None) -> None:
        if self._thread is not None:
            self.stop()
        self._outcomes, self._error, self._stats = [], None, None
        self._engine = BatchedEngine(kind, EngineConfig.from_dict(config), len(numbers),
                                     [self._networks[n] for n in names], seed=seed, game_numbers=numbers,
                                     **{**self._options, **({} if match is None else
                                                            {"match": MatchSettings.from_dict(match)})})
        self._thread = threading.Thread(target=self._play, daemon=True)
        self._thread.start()

    def _play(self) -> None:
        engine = self._engine
        try:
            for numbered in engine.run(numbered=True):
                self._deliver(numbered)
        except BaseException as error:  # noqa: BLE001 - reported to the driver by poll
            for numbered in engine.unclaimed:
                self._deliver(numbered)
            self._error = f"{type(error).__name__}: {error}"
        finally:
            with self._changed:
                self._stats = asdict(engine.stats)
                self._changed.notify_all()

    def _deliver(self, numbered: tuple) -> None:
        with self._changed:
            self._outcomes.append(numbered)
            self._changed.notify_all()

    def poll(self, timeout: float = POLL_SECONDS) -> tuple:
        """(outcomes since the last poll, stats once the run has ended, error): waits up to
        `timeout` for something to report."""
        with self._changed:
            if not self._outcomes and self._stats is None:
                self._changed.wait(timeout)
            outcomes, self._outcomes = self._outcomes, []
            return outcomes, self._stats, self._error

    def stop(self) -> tuple:
        """Ends the run; returns what poll would, the games finished meanwhile included."""
        if self._engine is not None:
            self._engine.close()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        return self.poll(0)


@dataclass
class _Share:
    """One actor's part of a run: the game numbers it owes and its rates."""

    numbers: list
    started: float = field(default_factory=time.perf_counter)
    games: int = 0
    positions: int = 0
    done: bool = False


class RayPlayer(GamePlayer):
    """Plays a command's games on Ray actors, behind the same interface as the local players."""

    def __init__(self, networks: dict, device: str, *, address: Optional[str] = "auto",
                 actors: Optional[int] = None, gpus_per_actor: float = 0.0, cpus_per_actor: Optional[float] = None,
                 games_in_flight: Optional[int] = None, search_threads: Optional[int] = None,
                 seed: Optional[int] = None, cpu_threads: Optional[int] = None,
                 search: Optional[SearchSettings] = None, match: Optional[MatchSettings] = None,
                 backend: str = "torch") -> None:
        self.search, self.match = search or SearchSettings(), match or MatchSettings()
        self.backends = {name: backend for name in networks}  # as asked: each actor decides `auto` itself
        self._ray = ray = connect(address)
        resources = ray.cluster_resources()
        # On a GPU an actor's CPU work is the search alone; on the CPU the network needs its threads too.
        if gpus_per_actor:
            cpus = cpus_per_actor or float(search_threads or 1)
            count = actors or max(1, int(resources.get("GPU", 0) // gpus_per_actor))
        else:
            cpus = cpus_per_actor or float((search_threads or 1) + (cpu_threads or 1))
            count = actors or max(1, int(resources.get("CPU", 1) // cpus))
        actor_device = "cuda" if gpus_per_actor else "cpu"
        self._remote = ray.remote(GameActor).options(num_cpus=cpus, num_gpus=gpus_per_actor,
                                                     max_restarts=-1, max_task_retries=0)
        self._payload_ref = ray.put(network_payload(networks))
        # Ray rebuilds a restarted actor from its constructor's arguments: they must outlive it.
        self._constructor_payload = self._payload_ref
        self._actor_args = (actor_device, games_in_flight, search_threads, cpu_threads,
                            self.search.to_dict(), self.match.to_dict(), backend)
        self.actors = [self._remote.remote(self._payload_ref, *self._actor_args) for _ in range(count)]
        self.seed = seed
        self.unclaimed_records: list = []
        self.stats = PlayerStats()
        self.actor_rates: list = []
        self.restarts = 0

    def close(self) -> None:
        for actor in self.actors:
            self._ray.kill(actor)
        self.actors = []

    def update_networks(self, networks: dict) -> None:
        """Sends new weights to the running actors through the object store."""
        self._payload_ref = self._ray.put(network_payload(networks))
        self._ray.get([actor.set_networks.remote(self._payload_ref) for actor in self.actors])

    def fingerprints(self, name: str) -> list:
        return self._ray.get([actor.fingerprint.remote(name) for actor in self.actors])

    def _run(self, kind: str, config: Any, n_games: int, names: list, keep_unclaimed: bool = False,
             match: Optional[MatchSettings] = None) -> Iterator[Any]:
        ray = self._ray
        seed = secrets.randbits(62) if self.seed is None else self.run_seed(kind, self.seed)
        self._run_match = (match or self.match).to_dict()
        shares = [_Share(list(range(i, n_games, len(self.actors)))) for i in range(len(self.actors))]
        received: set = set()
        started = time.perf_counter()
        polls = {}
        for index, share in enumerate(shares):
            polls[self._start(index, kind, config, share, seed, names)] = index
        try:
            while polls:
                ready, _ = ray.wait(list(polls), num_returns=1)
                index = polls.pop(ready[0])
                try:
                    outcomes, stats, error = ray.get(ready[0])
                except ray.exceptions.RayActorError:
                    self.restarts += 1
                    self._restore(index)
                    polls[self._start(index, kind, config, shares[index], seed, names, received)] = index
                    continue
                yield from self._take(outcomes, shares[index], received, n_games)
                if error:
                    raise DistributedError(f"actor {index} stopped: {error}")
                if stats is not None:
                    self._add_stats(stats)
                    shares[index].done = True
                else:
                    polls[self.actors[index].poll.remote()] = index
        except BaseException:
            if keep_unclaimed:
                for index, actor in enumerate(self.actors):
                    if shares[index].done:
                        continue
                    try:
                        outcomes, stats, _ = ray.get(actor.stop.remote(), timeout=60)
                    except Exception:  # noqa: BLE001 - a lost actor keeps what it had
                        continue
                    self.unclaimed_records.extend(self._take(outcomes, shares[index], received, n_games))
                    if stats is not None:
                        self._add_stats(stats)
            raise
        finally:
            self.stats.seconds += time.perf_counter() - started
            self.actor_rates = [(s.games / max(time.perf_counter() - s.started, 1e-9),
                                 s.positions / max(time.perf_counter() - s.started, 1e-9)) for s in shares]

    def _start(self, index: int, kind: str, config: Any, share: _Share, seed: int, names: list,
               received: frozenset = frozenset()) -> Any:
        numbers = [n for n in share.numbers if n not in received]
        actor = self.actors[index]
        actor.start.remote(kind, config.to_dict(), numbers, seed, names, self._run_match)
        return actor.poll.remote()

    # A restarted actor was built with the first networks: give it the current ones, once
    # Ray has it running again.
    def _restore(self, index: int) -> None:
        ray = self._ray
        give_up = time.monotonic() + RESTART_SECONDS
        while True:
            try:
                ray.get(self.actors[index].set_networks.remote(self._payload_ref))
                return
            except (ray.exceptions.ActorUnavailableError, ray.exceptions.RayActorError):
                if time.monotonic() > give_up:
                    raise
                time.sleep(0.2)

    def _take(self, outcomes: list, share: _Share, received: set, n_games: int) -> Iterator[Any]:
        for number, outcome in outcomes:
            if number in received or len(received) >= n_games:
                continue
            received.add(number)
            share.games += 1
            share.positions += len(outcome) if hasattr(outcome, "moves") else 0
            yield outcome

    # An actor's engine counters; the run's wall time is the driver's own.
    def _add_stats(self, stats: dict) -> None:
        self.stats.add(replace(EngineStats(**stats), seconds=0.0))
