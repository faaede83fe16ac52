"""What is wrong with a self-play shard: whether it loads (its checksum matching, when it has
one), whether its offsets and counts agree with each other and with its metadata, and whether
every game replays legally through the rules (the `check` command)."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Iterator

import numpy as np

from ..base.errors import brief
from ..engine.constants import MAX_DIM, MIN_DIM
from ..engine.rules import Game
from .shards import read_shard

# Fractions are stored as float32: their sum may miss 1 by rounding.
SUM_TOLERANCE = 1e-3


def shard_problems(path: Path) -> Iterator[str]:
    """What is wrong with one shard; prints the shard's summary when nothing is."""
    try:
        shard = read_shard(path)
    except (OSError, ValueError) as error:
        yield str(error).replace(f"{path}: ", "", 1)
        return
    if not MIN_DIM <= shard.dim <= MAX_DIM:
        yield f"board side {shard.dim} outside {MIN_DIM} to {MAX_DIM}"
        return
    metadata = shard.metadata if isinstance(shard.metadata, dict) else {}
    for key, count in (("games", shard.num_games), ("positions", shard.num_positions)):
        if key in metadata and metadata[key] != count:
            yield f"metadata counts {brief(repr(metadata[key]))} {key}, the arrays hold {count}"
    found = False
    for g in range(shard.num_games):
        for problem in game_problems(shard, g):
            found = True
            yield f"game {g}: {problem}"
    if not found:
        checksum = "checksum verified" if "checksum" in metadata else "no checksum (an older shard)"
        print(f"{path}: ok, {shard.num_games} games, {shard.num_positions} positions on {shard.dim}x{shard.dim}, "
              f"{checksum}")


def game_problems(shard, g: int) -> Iterator[str]:
    """Replays game g of `shard` through the rules; yields the first problem met, if any."""
    game = Game(shard.dim)
    first, last = int(shard.game_offsets[g]), int(shard.game_offsets[g + 1])
    for i in range(first, last):
        player, tile = (int(x) for x in shard.moves[i])
        where = f"position {i - first}"
        if game.is_terminal():
            yield f"{where}: a move after the end of the game"
            return
        if player != game.player:
            yield f"{where}: player {player} moves, but player {game.player} is to move"
            return
        legal = set(game.legal_tiles())
        a, b = int(shard.policy_offsets[i]), int(shard.policy_offsets[i + 1])
        tiles, fractions = shard.policy_tiles[a:b].tolist(), shard.policy_fractions[a:b]
        # A position without a policy was searched with the fast budget: only its move counts.
        problem = _policy_problem(tiles, fractions, legal) if tiles else None
        if problem:
            yield f"{where}: {problem}"
            return
        if tile not in legal:
            yield f"{where}: tile {tile} is not legal"
            return
        game.apply(tile)
    if not game.is_terminal():
        yield "the game stops before its end"
    elif not np.allclose(shard.payoffs[g], game.payoff(), atol=1e-6):
        yield f"payoffs {shard.payoffs[g].tolist()} differ from the rules' {game.payoff()}"


def _policy_problem(tiles: list, fractions: np.ndarray, legal: set) -> "str | None":
    if len(set(tiles)) != len(tiles) or not set(tiles) <= legal:
        return f"the policy lists illegal or repeated tiles {sorted(set(tiles) - legal)}"
    if not np.all(np.isfinite(fractions)) or np.any(fractions < 0):
        return "the policy has negative or non-finite fractions"
    if not math.isclose(float(fractions.sum(dtype=np.float64)), 1.0, abs_tol=SUM_TOLERANCE):
        return f"the policy's fractions sum to {float(fractions.sum()):.6f}, not 1"
    return None
