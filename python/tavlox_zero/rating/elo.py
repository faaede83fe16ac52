"""Elo ratings by maximum likelihood from the games between several networks.

The model is Bradley–Terry: player i has strength g_i = 10^(elo_i / 400), and in a game
between one seat of i and one seat of j, i scores g_i / (g_i + g_j) on average (a tie
counts half). A difference of 400 Elo is odds of 10 to 1.

Head-to-head games of four seats (network A in one seat, network B in the other three)
are read with the same strengths by Luce's choice rule: A takes the game's win against
the three seats of B with probability g_A / (g_A + 3 g_B). Such games enter the fit as
games of A against a "field" of strength 3 g_B: A's payoff p (1 sole win, 1/k shared,
0 else) is its score there. This keeps every game's evidence, needs only A's payoff
(which is what the engine reports), and makes equal networks, earning the fair 0.25,
equal in rating. The pairwise score it implies, A against one seat of B, is
3 P / (1 + 2 P) for a mean payoff P (`pairwise_score`). Mapping each game's payoff to a
pairwise score before averaging would not do: most games are won or lost outright, so
equal networks would average about 0.25 and look 190 Elo apart.

The fit maximises the likelihood by Newton's method in the log-strengths, with one
player (the anchor) held at 0. Every pair that met also counts `prior_games` virtual games
scored as if the two were equal, which keeps a pair that won every game finite and
barely moves ratings fitted from dozens of games. Intervals come from a bootstrap over
games: each pair's games are drawn again with replacement, the fit repeated, and the
2.5 and 97.5 percentiles of each rating kept (the anchor's interval is [0, 0]).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Iterable, Optional, Sequence

import numpy as np

ELO_PER_NEPER = 400.0 / math.log(10.0)


@dataclass(frozen=True)
class Encounter:
    """The games between two players: `first`'s score in each, with `first` in one seat and
    `second` in `seats` seats (1 for a two-player game, 3 for a head-to-head match)."""

    first: str
    second: str
    scores: tuple
    seats: int = 1

    def __post_init__(self) -> None:
        scores = tuple(float(s) for s in self.scores)
        if any(not 0.0 <= s <= 1.0 for s in scores):
            raise ValueError(f"scores must lie in [0, 1] ({self.first} against {self.second})")
        if self.first == self.second:
            raise ValueError(f"{self.first} cannot play itself")
        if self.seats < 1:
            raise ValueError(f"seats must be at least 1, got {self.seats}")
        object.__setattr__(self, "scores", scores)

    @classmethod
    def from_counts(cls, first: str, second: str, wins: int, ties: int, losses: int) -> "Encounter":
        """Two-player results of `first`: a win scores 1, a tie half, a loss 0."""
        return cls(first, second, (1.0,) * wins + (0.5,) * ties + (0.0,) * losses)

    @property
    def games(self) -> int:
        return len(self.scores)


def head_to_head(first: str, second: str, payoffs: Iterable[float]) -> Encounter:
    """Four-seat games of `first` in one seat against `second` in three, from `first`'s payoffs."""
    return Encounter(first, second, tuple(payoffs), seats=3)


def pairwise_score(mean_payoff: float, seats: int = 3) -> float:
    """The score against one seat of the opponent that a mean payoff against `seats` of its
    seats implies (Luce's choice rule): 0.25 of four seats is 0.5, an even game."""
    p = float(mean_payoff)
    return seats * p / (seats * p + 1.0 - p) if p > 0 else 0.0


@dataclass(frozen=True)
class Rating:
    name: str
    elo: float
    low: float
    high: float
    games: int

    def to_dict(self) -> dict:
        return {"name": self.name, "elo": self.elo, "low": self.low, "high": self.high, "games": self.games}


def _arrays(players: Sequence[str], encounters: Sequence[Encounter]):
    index = {name: i for i, name in enumerate(players)}
    unknown = sorted({n for e in encounters for n in (e.first, e.second)} - index.keys())
    if unknown:
        raise ValueError(f"results name players outside the list: {unknown}")
    firsts = np.array([index[e.first] for e in encounters], dtype=np.int64)
    seconds = np.array([index[e.second] for e in encounters], dtype=np.int64)
    offsets = np.array([math.log(e.seats) for e in encounters])
    return firsts, seconds, offsets


def fit(players: Sequence[str], encounters: Sequence[Encounter], anchor: Optional[str] = None,
        prior_games: float = 1.0) -> np.ndarray:
    """The maximum-likelihood Elo of each player (in the order of `players`), `anchor`
    (default: the first player) at 0."""
    return np.array([r.elo for r in rate(players, encounters, anchor, bootstrap=0, prior_games=prior_games)])


def _check_connected(n: int, anchor: int, firsts, seconds, players: Sequence[str]) -> None:
    reached, frontier = {anchor}, [anchor]
    neighbours = [[] for _ in range(n)]
    for a, b in zip(firsts.tolist(), seconds.tolist()):
        neighbours[a].append(b)
        neighbours[b].append(a)
    while frontier:
        for other in neighbours[frontier.pop()]:
            if other not in reached:
                reached.add(other)
                frontier.append(other)
    if len(reached) < n:
        missing = [players[i] for i in range(n) if i not in reached]
        raise ValueError(f"no games connect {', '.join(missing)} to {players[anchor]}")


def _fit(n: int, anchor: int, firsts, seconds, offsets, games, totals, prior_games: float,
         iterations: int = 100) -> np.ndarray:
    # The virtual games score what equal players would: 1 / (1 + seats) for the first.
    prior_score = 1.0 / (1.0 + np.exp(offsets))
    games = games + prior_games
    totals = totals + prior_games * prior_score
    free = np.arange(n) != anchor
    theta = np.zeros(n)
    for _ in range(iterations):
        expected = 1.0 / (1.0 + np.exp(-(theta[firsts] - theta[seconds] - offsets)))
        residual = totals - games * expected
        weight = games * expected * (1.0 - expected)
        gradient = np.zeros(n)
        np.add.at(gradient, firsts, residual)
        np.add.at(gradient, seconds, -residual)
        information = np.zeros((n, n))
        np.add.at(information, (firsts, firsts), weight)
        np.add.at(information, (seconds, seconds), weight)
        np.add.at(information, (firsts, seconds), -weight)
        np.add.at(information, (seconds, firsts), -weight)
        step = np.linalg.solve(information[np.ix_(free, free)], gradient[free])
        theta[free] += np.clip(step, -5.0, 5.0)
        if np.max(np.abs(step)) < 1e-10:
            break
    return theta * ELO_PER_NEPER


def rate(players: Sequence[str], encounters: Sequence[Encounter], anchor: Optional[str] = None,
         bootstrap: int = 200, seed: int = 0, prior_games: float = 1.0) -> list[Rating]:
    """Each player's Elo with a 95% bootstrap interval, anchored at `anchor` (default: the first)."""
    players = list(players)
    if not players:
        return []
    anchor_index = players.index(anchor if anchor is not None else players[0])
    firsts, seconds, offsets = _arrays(players, encounters)
    _check_connected(len(players), anchor_index, firsts, seconds, players)
    games = np.array([e.games for e in encounters], dtype=float)
    totals = np.array([sum(e.scores) for e in encounters], dtype=float)
    elo = _fit(len(players), anchor_index, firsts, seconds, offsets, games, totals, prior_games)
    rng = np.random.default_rng(seed)
    samples = np.empty((bootstrap, len(players)))
    score_arrays = [np.asarray(e.scores) for e in encounters]
    for b in range(bootstrap):
        drawn = np.array([s[rng.integers(0, len(s), len(s))].sum() if len(s) else 0.0 for s in score_arrays])
        samples[b] = _fit(len(players), anchor_index, firsts, seconds, offsets, games, drawn, prior_games)
    low, high = np.percentile(samples, [2.5, 97.5], axis=0) if bootstrap else (elo, elo)
    played = np.zeros(len(players), dtype=int)
    np.add.at(played, firsts, games.astype(int))
    np.add.at(played, seconds, games.astype(int))
    return [Rating(name, float(elo[i]), float(min(low[i], elo[i])), float(max(high[i], elo[i])), int(played[i]))
            for i, name in enumerate(players)]
