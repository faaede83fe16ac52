"""Summary statistics of evaluation matches.

Payoffs are seat 0's final payoff of each game: 1.0 for a sole win, 1/k when
k players share the best score, 0.0 otherwise.

* Mean payoff: a Wilson score interval on the effective number of games: payoffs lie
  in [0, 1], so a mean m with sample variance s² (n − 1 in the denominator) is
  treated as a proportion m over n·m(1 − m)/s² trials, the count whose binomial
  variance equals the observed one. Far from the bounds this is mean ± 1.96·s/√n;
  near them it stays inside [0, 1], as a symmetric normal interval does not. One
  game gives the whole range [0, 1].
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
    """Mean of payoffs in [0, 1] and its confidence interval, also within [0, 1]."""
    n = len(values)
    if n == 0:
        raise ValueError("no values to summarise")
    mean = min(1.0, max(0.0, math.fsum(values) / n))
    if n < 2:
        return mean, Interval(0.0, 1.0)
    variance = math.fsum((v - mean) ** 2 for v in values) / (n - 1)
    if 0.0 < mean < 1.0:
        if variance == 0.0:
            return mean, Interval(mean, mean)
        trials = n * mean * (1.0 - mean) / variance
    else:
        # Every payoff at one bound: the spread says nothing, the number of games does.
        trials = n
    return mean, wilson_interval(mean * trials, trials, z)


def wilson_interval(successes: float, trials: float, z: float = Z_95) -> Interval:
    """Wilson score interval of a binomial proportion (trials may be an effective, fractional count)."""
    if trials <= 0:
        raise ValueError("a proportion needs at least one trial")
    if not 0 <= successes <= trials:
        raise ValueError(f"successes {successes} outside 0..{trials}")
    p = successes / trials
    z2 = z * z
    denominator = 1 + z2 / trials
    centre = (p + z2 / (2 * trials)) / denominator
    half_width = z * math.sqrt(p * (1 - p) / trials + z2 / (4 * trials * trials)) / denominator
    # The interval holds p in exact arithmetic; rounding may leave it a hair outside (at p = 1).
    return Interval(min(p, max(0.0, centre - half_width)), max(p, min(1.0, centre + half_width)))


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
