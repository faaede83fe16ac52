"""A command's games played by the batched engine, behind the same interface as the worker pool.

The networks run in this process; each is served by the inference backend asked for
(`inference.make_network`), built from the weights it is given. Every call of a play_* method
runs one engine to the end.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Any, Iterator, Optional

from .engine.batched import AGAINST_BASELINE, AGAINST_RANDOM, HEAD_TO_HEAD, TRAINING, BatchedEngine, EngineStats
from .engine.search_settings import MatchSettings, SearchSettings


@dataclass
class PlayerStats:
    """The engine counters of every run so far, added up."""

    evaluations: int = 0
    batches: int = 0
    largest_batch: int = 0
    failed_games: int = 0
    seconds: float = 0.0
    network_seconds: float = 0.0
    search_cpu_seconds: float = 0.0

    def add(self, stats: EngineStats) -> None:
        self.evaluations += stats.evaluations
        self.batches += stats.batches
        self.largest_batch = max(self.largest_batch, stats.largest_batch)
        self.failed_games += stats.failed_games
        self.seconds += stats.seconds
        self.network_seconds += stats.network_seconds
        self.search_cpu_seconds += stats.search_cpu_seconds


class GamePlayer:
    """What the commands play with: the worker pool's interface over `_run(kind, config,
    n_games, network names, keep_unclaimed)`, which subclasses provide with `close`; every
    run plays with the player's `search` and `match` settings."""

    unclaimed_records: list
    search: SearchSettings = SearchSettings()
    match: MatchSettings = MatchSettings()
    _training_runs: int = 0

    def run_seed(self, kind: str, seed: Optional[int]) -> Optional[int]:
        """The seed of one run. Every training run after a player's first gets a seed of its
        own: with one fixed seed, two runs of the same network (the chunks of one iteration)
        would play the very same games. Matches keep the seed, so that networks measured one
        after the other meet the same openings and opponents' draws."""
        if seed is None or kind != TRAINING:
            return seed
        runs, self._training_runs = self._training_runs, self._training_runs + 1
        return seed if runs == 0 else (seed + runs * 0x9E3779B97F4A7C15) % (1 << 62)

    def __enter__(self) -> "GamePlayer":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def close(self) -> None:
        raise NotImplementedError

    def play_training_games(self, config: Any, n_games: int) -> Iterator[Any]:
        """Yields the n_games training records (GameRecord); those finished when the run
        stopped early go to unclaimed_records."""
        yield from self._run(TRAINING, config, n_games, ["model"], keep_unclaimed=True)

    def play_against_random(self, config: Any, n_games: int, network: str = "model",
                            match: Optional[MatchSettings] = None) -> list[float]:
        """Seat 0's payoffs; `match` (default: the player's) says how the network plays."""
        return list(self._run(AGAINST_RANDOM, config, n_games, [network], match=match))

    def play_against_reference(self, config: Any, n_games: int, opponents: str, network: str = "model",
                               match: Optional[MatchSettings] = None) -> list[float]:
        """The network in seat game % 4, three reference players `opponents` in the others:
        the network's payoffs; `match` (default: the player's) says how it plays."""
        match = replace(match or self.match, opponents=opponents, seats="rotate", subject=None)
        return list(self._run(AGAINST_RANDOM, config, n_games, [network], match=match))

    def play_against_baseline(self, config: Any, n_games: int, model: str = "model",
                              baseline: str = "baseline") -> list[float]:
        return list(self._run(AGAINST_BASELINE, config, n_games, [model, baseline]))

    def play_head_to_head(self, config: Any, n_games: int, first: str = "model",
                          second: str = "baseline", match: Optional[MatchSettings] = None) -> list[float]:
        """Network `first` in seat game % 4, `second` in the other seats, on config.dim:
        `first`'s payoffs (a fair share is 0.25)."""
        return list(self._run(HEAD_TO_HEAD, config, n_games, [first, second], match=match))

    def _run(self, kind: str, config: Any, n_games: int, names: list, keep_unclaimed: bool = False,
             match: Optional[MatchSettings] = None) -> Iterator[Any]:
        raise NotImplementedError


class BatchedPlayer(GamePlayer):
    def __init__(self, networks: dict, device: Any, *, games_in_flight: Optional[int] = None,
                 search_threads: Optional[int] = None, seed: Optional[int] = None,
                 cpu_threads: Optional[int] = None, search: Optional[SearchSettings] = None,
                 match: Optional[MatchSettings] = None, backend: str = "torch") -> None:
        import torch

        from .nets.inference import make_network

        if cpu_threads and torch.device(device).type == "cpu":
            torch.set_num_threads(cpu_threads)
        self._networks = {name: make_network(model, device, backend, threads=cpu_threads)
                          for name, model in networks.items()}
        self.search, self.match = search or SearchSettings(), match or MatchSettings()
        self._options = {"games_in_flight": games_in_flight, "search_threads": search_threads, "seed": seed,
                         "search": self.search, "match": self.match}
        self._engine: Optional[BatchedEngine] = None
        self.unclaimed_records: list = []
        self.stats = PlayerStats()

    @property
    def backends(self) -> dict:
        """What serves each network: `auto` until its first batch, then the backend it chose."""
        return {name: network.backend for name, network in self._networks.items()}

    def close(self) -> None:
        if self._engine is not None:
            self._engine.close()

    def _run(self, kind: str, config: Any, n_games: int, names: list, keep_unclaimed: bool = False,
             match: Optional[MatchSettings] = None) -> Iterator[Any]:
        missing = [name for name in names if name not in self._networks]
        if missing:
            raise KeyError(f"no network named {missing[0]!r}; this player has {sorted(self._networks)}")
        options = {**self._options, "seed": self.run_seed(kind, self._options["seed"]),
                   "match": match or self.match}
        self._engine = BatchedEngine(kind, config, n_games, [self._networks[name] for name in names], **options)
        try:
            yield from self._engine.run()
        finally:
            if keep_unclaimed:
                self.unclaimed_records.extend(self._engine.unclaimed)
            self._engine.close()
            self.stats.add(self._engine.stats)
