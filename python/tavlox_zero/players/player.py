"""The interface the commands play games with, whatever plays them: the batched engine in this
process (`batched_player`), Ray actors (`distributed`); the worker pool (`pool`) offers the
same play_* methods.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any, Iterator, Optional

from ..engine.constants import AGAINST_BASELINE, AGAINST_RANDOM, HEAD_TO_HEAD, TRAINING
from ..engine.search_settings import MatchSettings, SearchSettings

if TYPE_CHECKING:
    from ..engine.batched import EngineStats


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
