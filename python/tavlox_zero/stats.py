"""Summary statistics of evaluation matches.

Payoffs are seat 0's final payoff of each game: 1.0 for a sole win, 1/k when
k players share the best score, 0.0 otherwise.

* Mean payoff: a normal-approximation 95% interval, mean ± 1.96·s/√n with the
  sample standard deviation s (n − 1 in the denominator). With fewer than two
  games the interval is unbounded.
* Win rate: sole wins (payoff exactly 1.0) over games, with a Wilson score
  interval. Shared wins are counted separately; counting them fractionally
  would give the mean payoff again, which is already reported.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass
from typing import Iterable, Sequence

Z_95 = 1.96


@dataclass(frozen=True)
class Interval:
    low: float
    high: float

    def __contains__(self, value: float) -> bool:
        return self.low <= value <= self.high


@dataclass(frozen=True)
class MatchSummary:
    games: int
    mean_payoff: float
    payoff_ci: Interval
    wins: int
    shared_wins: int
    win_rate: float
    win_ci: Interval

    def to_dict(self) -> dict:
        return asdict(self)

    def describe(self) -> str:
        return (
            f"{self.games} games: mean payoff {self.mean_payoff:.3f} "
            f"[{self.payoff_ci.low:.3f}, {self.payoff_ci.high:.3f}], "
            f"win rate {self.win_rate:.3f} "
            f"[{self.win_ci.low:.3f}, {self.win_ci.high:.3f}] "
            f"({self.wins} sole wins, {self.shared_wins} shared)"
        )


def mean_interval(values: Sequence[float], z: float = Z_95) -> tuple[float, Interval]:
    """Mean and its normal-approximation confidence interval."""
    n = len(values)
    if n == 0:
        raise ValueError("no values to summarise")
    mean = math.fsum(values) / n
    if n < 2:
        return mean, Interval(-math.inf, math.inf)
    variance = math.fsum((v - mean) ** 2 for v in values) / (n - 1)
    half_width = z * math.sqrt(variance / n)
    return mean, Interval(mean - half_width, mean + half_width)


def wilson_interval(successes: float, trials: int, z: float = Z_95) -> Interval:
    """Wilson score interval of a binomial proportion."""
    if trials <= 0:
        raise ValueError("a proportion needs at least one trial")
    if not 0 <= successes <= trials:
        raise ValueError(f"successes {successes} outside 0..{trials}")
    p = successes / trials
    z2 = z * z
    denominator = 1 + z2 / trials
    centre = (p + z2 / (2 * trials)) / denominator
    half_width = z * math.sqrt(p * (1 - p) / trials + z2 / (4 * trials * trials)) / denominator
    return Interval(max(0.0, centre - half_width), min(1.0, centre + half_width))


def summarize_payoffs(payoffs: Iterable[float]) -> MatchSummary:
    """Mean payoff, sole-win rate and their 95% intervals."""
    values = [float(p) for p in payoffs]
    bad = [v for v in values if not 0.0 <= v <= 1.0]
    if bad:
        raise ValueError(f"payoffs must lie in [0, 1], got {bad[:5]}")
    mean, payoff_ci = mean_interval(values)
    wins = sum(1 for v in values if v == 1.0)
    shared = sum(1 for v in values if 0.0 < v < 1.0)
    return MatchSummary(
        games=len(values),
        mean_payoff=mean,
        payoff_ci=payoff_ci,
        wins=wins,
        shared_wins=shared,
        win_rate=wins / len(values),
        win_ci=wilson_interval(wins, len(values)),
    )
