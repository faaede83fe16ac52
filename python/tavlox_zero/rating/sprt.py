"""A sequential probability ratio test on per-game payoffs in [0, 1].

The question it answers: in a head-to-head match, with the candidate network in one seat
(the seat rotating from game to game) and the current network in the other three, does
the candidate earn more than its fair share? Equal networks earn exactly 0.25 on average
there, whatever the seat advantage, because the seat rotates.

* H0: the candidate's mean payoff is p0 (0.25: no better than the current network);
* H1: the candidate's mean payoff is p1 (0.30: better by a margin worth a promotion).

The test is the generalised SPRT with a normal approximation of the mean payoff: after n
games with mean m and sample variance v,

    LLR = n (p1 - p0) (2 m - p0 - p1) / (2 v),

the log-likelihood ratio of two normal models of the payoffs with means p1 and p0 and
the observed variance. The test accepts H1 when the LLR reaches log((1 - beta) / alpha)
and H0 when it falls to log(beta / (1 - alpha)); alpha bounds the chance of accepting H1
when H0 holds, beta the chance of accepting H0 when H1 holds. Between p0 and p1 either
answer may come.

The variance has a floor, by default p0 (1 - p0), the variance of win-or-lose payoffs with
mean p0. Without it the errors lean one way: the sample variance of such payoffs falls with
their mean, so a stream that starts badly looks both weak and steady and the test accepts
H0 too soon (in simulations of a candidate at p1, about twice as often as beta allows).
With the floor, simulated error rates stay near alpha and beta. Payoffs with many shared
wins vary less than the floor says, which only makes the test more cautious. No decision
comes before `min_games` games, so that the normal approximation has some games to stand on.
"""

from __future__ import annotations

import math
from typing import Iterable, Optional

ACCEPT_H1 = "accept H1"
ACCEPT_H0 = "accept H0"


class SequentialTest:
    """The running test: `add` or `extend` payoffs in the order the games were played; once
    the LLR crosses a bound the decision is final and later payoffs are ignored."""

    def __init__(self, p0: float = 0.25, p1: float = 0.30, alpha: float = 0.05, beta: float = 0.05,
                 variance_floor: Optional[float] = None, min_games: int = 8) -> None:
        if not 0.0 <= p0 < p1 <= 1.0:
            raise ValueError(f"the test needs 0 <= p0 < p1 <= 1, got p0 {p0}, p1 {p1}")
        for name, value in (("alpha", alpha), ("beta", beta)):
            if not 0.0 < value < 0.5:
                raise ValueError(f"{name} must lie in (0, 0.5), got {value}")
        if variance_floor is None:
            variance_floor = p0 * (1.0 - p0) if 0.0 < p0 else 0.01
        if not variance_floor > 0.0:
            raise ValueError(f"the variance floor must be positive, got {variance_floor}")
        self.p0, self.p1, self.alpha, self.beta = float(p0), float(p1), float(alpha), float(beta)
        self.variance_floor, self.min_games = float(variance_floor), int(min_games)
        self.games = 0
        self._sum = 0.0
        self._squares = 0.0  # sum of squared deviations from the running mean (Welford)
        self.decision: Optional[str] = None

    @property
    def bounds(self) -> tuple[float, float]:
        """(lower, upper): the LLR at which H0, respectively H1, is accepted."""
        return math.log(self.beta / (1.0 - self.alpha)), math.log((1.0 - self.beta) / self.alpha)

    @property
    def mean(self) -> float:
        return self._sum / self.games if self.games else float("nan")

    @property
    def variance(self) -> float:
        """The payoffs' sample variance, at least the floor."""
        sample = self._squares / (self.games - 1) if self.games > 1 else 0.0
        return max(sample, self.variance_floor)

    @property
    def llr(self) -> float:
        if self.games == 0:
            return 0.0
        return self.games * (self.p1 - self.p0) * (2.0 * self.mean - self.p0 - self.p1) / (2.0 * self.variance)

    def add(self, payoff: float) -> Optional[str]:
        """Counts one game (unless the test has decided) and returns the decision so far."""
        payoff = float(payoff)
        if not 0.0 <= payoff <= 1.0:
            raise ValueError(f"payoffs must lie in [0, 1], got {payoff}")
        if self.decision is not None:
            return self.decision
        previous = self.mean if self.games else 0.0
        self.games += 1
        self._sum += payoff
        self._squares += (payoff - previous) * (payoff - self.mean)
        if self.games >= self.min_games:
            lower, upper = self.bounds
            llr = self.llr
            if llr >= upper:
                self.decision = ACCEPT_H1
            elif llr <= lower:
                self.decision = ACCEPT_H0
        return self.decision

    def extend(self, payoffs: Iterable[float]) -> Optional[str]:
        """Adds payoffs in order until a decision; returns it (None while undecided)."""
        for payoff in payoffs:
            if self.add(payoff) is not None:
                break
        return self.decision

    def to_dict(self) -> dict:
        lower, upper = self.bounds
        return {
            "p0": self.p0, "p1": self.p1, "alpha": self.alpha, "beta": self.beta,
            "games": self.games, "mean": self.mean if self.games else None, "llr": self.llr,
            "lower_bound": lower, "upper_bound": upper, "decision": self.decision,
        }
