"""A network that plays single positions with search, for the interactive tools: each tile is
chosen by the C++ search (``_engine.search_position``) with a given number of simulations,
the network asked through a Python function; the most visited tile is played."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

import numpy as np

from .._engine import search_position
from ..engine.constants import STATE_PLANES
from ..base.errors import brief
from ..engine.engine_config import engine_config_for
from ..engine.rules import Game, in_piece
from ..nets.inference import BackendUnavailable, make_network


class NetworkFailed(ValueError):
    """The network answered a position with numbers the search cannot use."""


@dataclass
class Choice:
    tile: int
    visits: list  # the root's (tile, visits), ascending by tile

    def fractions(self) -> list:
        total = sum(v for _, v in self.visits) or 1
        return [(t, v / total) for t, v in self.visits]


class NetworkPlayer:
    """Plays the position of a rules Game with ``sims`` simulations per tile."""

    def __init__(self, model: Any, sims: int, seed: int = 0, c_base: Optional[float] = None,
                 c_init: Optional[float] = None, backend: str = "torch") -> None:
        import torch

        if sims < 1:
            raise ValueError(f"the search needs at least 1 simulation, got {sims}")
        self._torch = torch
        self.model = model.eval()
        self._network = make_network(self.model, "cpu", backend)
        self.sims = sims
        self.seed = seed
        # Left out: the engine configuration's defaults.
        self._constants = {name: value for name, value in (("c_base", c_base), ("c_init", c_init))
                           if value is not None}

    def evaluate(self, planes: bytes) -> tuple:
        """The network on one position: (policy logits, value logits) as float32 arrays."""
        dim = int(round((len(planes) // STATE_PLANES) ** 0.5))
        # A copy: the bytes are read-only, and torch warns when it wraps a read-only array.
        state = np.frombuffer(planes, dtype=np.uint8).reshape(1, STATE_PLANES, dim, dim).copy()
        policy, value = self._network(state)
        policy = np.array(policy[0], dtype=np.float32)
        value = np.array(value[0], dtype=np.float32)
        # The search cannot rank tiles by NaN: a broken network is reported, not searched with.
        for what, logits in (("policy", policy), ("value", value)):
            if not np.isfinite(logits).all():
                raise NetworkFailed(f"the network yielded NaN or infinite {what} logits for this position: "
                                    "its weights are broken")
        return policy, value

    def choose(self, game: Game) -> Choice:
        """The most visited tile of one search of the game's position (ties to the lower tile)."""
        tiles = [tile for _, tile in game.history]
        visits = search_position(game.dim, tiles, self.sims, self.evaluate, self.seed + len(tiles), **self._constants)
        if not visits:
            raise NetworkFailed("the search found no tile to play: the network's answers gave it nothing to rank")
        best = max(visits, key=lambda entry: (entry[1], -entry[0]))
        return Choice(best[0], visits)

    def play_piece(self, game: Game) -> list:
        """Plays tiles on ``game`` until the mover's piece is complete; returns the Choices."""
        choices = []
        while not game.is_terminal():
            choice = self.choose(game)
            game.apply(choice.tile)
            choices.append(choice)
            if not in_piece(game):
                break
        return choices


def load_player(checkpoint: Path, sims: int, seed: int = 0, backend: str = "torch") -> tuple:
    """(NetworkPlayer, the board side it was trained on) from a checkpoint file, its network
    served through `backend`."""
    from ..nets.network import load_checkpoint

    model, data = load_checkpoint(checkpoint)
    try:
        config = engine_config_for(data, None)
    except (TypeError, ValueError, OverflowError, KeyError, AttributeError) as error:
        raise ValueError(f"{checkpoint}: its engine_config is not usable ({brief(error)})") from error
    try:
        player = NetworkPlayer(model, sims, seed, config.c_base, config.c_init, backend)
    except BackendUnavailable as error:
        raise ValueError(f"--backend {error}") from error
    return player, config.dim

