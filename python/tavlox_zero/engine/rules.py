"""The game rules from Python, with states as NumPy arrays.

The state of a position is exactly the encoding the self-play engine sends the network
(channels first): four occupancy planes relative to the player to move, then the plane of the
tiles that player may choose next.
"""

from __future__ import annotations

from typing import Sequence, Tuple

import numpy as np

from .. import _rules
from .constants import DEFAULT_DIM, PLAYERS, STATE_PLANES


class Game:
    """A four-player game on a ``dim`` x ``dim`` board."""

    __slots__ = ("_game",)

    def __init__(self, dim: int = DEFAULT_DIM, *, _game: "_rules.Game | None" = None) -> None:
        self._game = _game if _game is not None else _rules.Game(dim)

    @property
    def dim(self) -> int:
        return self._game.dim

    @property
    def player(self) -> int:
        """The player to move (0 to 3)."""
        return self._game.player

    @property
    def finished(self) -> Tuple[bool, bool, bool, bool]:
        return self._game.finished

    @property
    def history(self) -> list:
        """Every (player, tile) applied so far, in order."""
        return self._game.history

    def is_terminal(self) -> bool:
        return self._game.is_terminal()

    def legal_tiles(self) -> list:
        return self._game.legal_tiles()

    def apply(self, tile: int) -> None:
        """Chooses ``tile``; raises ValueError (game unchanged) when it is not legal."""
        self._game.apply(tile)

    def scores(self) -> list:
        return self._game.scores()

    def payoff(self) -> list:
        return self._game.payoff()

    def state(self) -> np.ndarray:
        """The state encoding, a bool array of shape (5, dim, dim)."""
        dim = self._game.dim
        return np.frombuffer(self._game.state_bytes(), dtype=np.bool_).reshape(STATE_PLANES, dim, dim)

    def render(self) -> str:
        return self._game.render()

    def copy(self) -> "Game":
        return Game(_game=self._game.copy())

    def __repr__(self) -> str:
        return f"Game(dim={self.dim}, player={self.player}, moves={len(self.history)})"


def encode_record(dim: int, moves: Sequence[Sequence[int]]) -> np.ndarray:
    """The states before each (player, tile) move of a game replayed from its start.

    Returns a bool array of shape (len(moves), 5, dim, dim): entry i is the position in which
    ``moves[i]`` was chosen, encoded as the engine encoded it for the network.
    """
    if isinstance(moves, np.ndarray):
        moves = moves.tolist()
    data = _rules.encode_record(dim, moves)
    return np.frombuffer(data, dtype=np.bool_).reshape(len(moves), STATE_PLANES, dim, dim)


def in_piece(game: Game) -> bool:
    """Whether the player to move has chosen tiles of a piece that is not complete yet."""
    if game.is_terminal():
        return False
    state = game.state()
    own, legal = state[0], state[PLAYERS]
    touching = np.zeros_like(own)
    touching[1:, :] |= own[:-1, :]
    touching[:-1, :] |= own[1:, :]
    touching[:, 1:] |= own[:, :-1]
    touching[:, :-1] |= own[:, 1:]
    return bool((legal & touching).any())
