"""What the worker pool reports: its totals over its life (PoolStats) and the error that
ends its runs (PoolError). Both the pool and its worker processes use them."""

from __future__ import annotations

import collections
from dataclasses import dataclass, field


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
