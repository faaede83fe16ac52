"""Value targets bootstrapped from the network's own estimates: TD(λ) returns.

The game's payoff is the target of every position of a game, and it is one noisy draw: a
network trained on it for several epochs learns each game's outcome by heart (its training
value loss falls far below its held-out one) rather than what positions are worth. A TD(λ)
return mixes the payoff with the network's estimates of the positions that followed,

    G_last = payoff,   G_t = (1 - λ) V(s_t+1) + λ G_t+1,

so the target of a position carries the outcome's information weighted by λ per decision
and the smoother judgement of the positions the game actually reached. λ = 1 is the payoff
alone. Estimates and returns are four-player distributions in absolute player order here;
the dataset turns them to the mover's view.
"""

from __future__ import annotations

from typing import Callable

import numpy as np

from ..engine.constants import PLAYERS

# (B, 5, d, d) float32 planes -> (B, 4) value probabilities from the view of each position's mover.
Estimator = Callable[[np.ndarray], np.ndarray]


def td_lambda_returns(payoffs: np.ndarray, estimates: np.ndarray, lam: float) -> np.ndarray:
    """(T, 4) returns of one game's T positions, absolute order: `payoffs` (4,) the final
    payoffs, `estimates` (T, 4) the value estimates of the positions (estimates[0] is unused,
    no position leads to the first)."""
    returns = np.empty_like(estimates, dtype=np.float64)
    carried = payoffs.astype(np.float64)
    for t in range(len(estimates) - 1, -1, -1):
        returns[t] = carried
        carried = (1.0 - lam) * estimates[t] + lam * carried
    return returns


def score_shares(final_cells: np.ndarray, temperature: float) -> np.ndarray:
    """(G, 4) soft win shares of games from the players' final cells (G, 4): a softmax of the
    cells over `temperature`. Cells decide the game on boards too small to place a whole set,
    so as the temperature falls to 0 this is the payoff, ties shared; above 0 a wide win is
    worth more than a narrow one, and a close second more than a distant one. (On a board
    where a player can place its whole set, the bonus for doing so is left out.)"""
    scaled = final_cells / temperature
    weights = np.exp(scaled - scaled.max(axis=1, keepdims=True))
    return weights / weights.sum(axis=1, keepdims=True)


def to_absolute(mover_view: np.ndarray, movers: np.ndarray) -> np.ndarray:
    """Rows in the mover's view (entry k belongs to player mover + k) to absolute order."""
    absolute = np.empty_like(mover_view)
    columns = (movers[:, None] + np.arange(PLAYERS)[None, :]) % PLAYERS
    np.put_along_axis(absolute, columns, mover_view, axis=1)
    return absolute


def to_mover_view(absolute: np.ndarray, movers: np.ndarray) -> np.ndarray:
    columns = (movers[:, None] + np.arange(PLAYERS)[None, :]) % PLAYERS
    return np.take_along_axis(absolute, columns, axis=1)
