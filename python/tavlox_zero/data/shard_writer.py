"""Writing self-play shards: one shard from training records, or a shard every N games.

A record is the batched engine's GameRecord, or a `(moves, policies, payoffs)` triple with
or without its worker id; data.shards describes the file a shard is.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import signal
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable, Iterator, Optional

import numpy as np

from ..base.atomic import atomic_write
from ..engine.constants import PLAYERS
from .shards import SHARD_FORMAT, SHARD_VERSION, arrays_checksum


def write_shard(path: os.PathLike | str, records: Iterable, dim: int, metadata: Optional[dict] = None) -> Path:
    """Writes training records (`(id, (moves, policies, payoffs))` or the inner triple) to one shard.

    The file is written under a temporary name and renamed, so it appears complete or not at all.
    """
    games = [_game_data(record) for record in records]
    arrays = _to_arrays(games, dim)
    meta = {"format": SHARD_FORMAT, "version": SHARD_VERSION, **(metadata or {}), "checksum": arrays_checksum(arrays)}
    meta.setdefault("games", len(games))
    meta.setdefault("positions", int(len(arrays["moves"])))
    arrays["metadata"] = np.array(json.dumps(meta, default=str))
    path = Path(path)
    with atomic_write(path) as f:
        np.savez_compressed(f, **arrays)
    return path


class ShardWriter:
    """Buffers training records and writes a shard every `games_per_shard` games.

    Shards are named shard-00000.npz, shard-00001.npz, ... numbered after any already in
    `directory`. `close` writes what is left; the writer keeps records it failed to write.
    """

    def __init__(self, directory: os.PathLike | str, dim: int, metadata: Optional[dict] = None,
                 games_per_shard: int = 32) -> None:
        if games_per_shard < 1:
            raise ValueError(f"games_per_shard must be at least 1, got {games_per_shard}")
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.dim = dim
        self.metadata = dict(metadata or {})
        self.games_per_shard = games_per_shard
        self.paths: list[Path] = []
        self.games = 0
        self.positions = 0
        self._buffer: list = []
        self._buffered_positions = 0
        self._next = _next_shard_number(self.directory)

    def __enter__(self) -> "ShardWriter":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    @property
    def received_games(self) -> int:
        """Games written or waiting to be."""
        return self.games + len(self._buffer)

    @property
    def received_positions(self) -> int:
        return self.positions + self._buffered_positions

    def add(self, record: Any) -> Optional[Path]:
        positions = len(_game_data(record).moves)
        self._buffer.append(record)
        self._buffered_positions += positions
        if len(self._buffer) >= self.games_per_shard:
            return self.flush()
        return None

    def flush(self) -> Optional[Path]:
        if not self._buffer:
            return None
        path = self.directory / f"shard-{self._next:05d}.npz"
        positions = self._buffered_positions
        metadata = {**self.metadata, "created": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                    "games": len(self._buffer), "positions": positions}
        # Ctrl-C between writing the shard and noting it would write its games twice.
        with _interrupts_deferred():
            write_shard(path, self._buffer, self.dim, metadata)
            self._next += 1
            self.paths.append(path)
            self.games += len(self._buffer)
            self.positions += positions
            self._buffer = []
            self._buffered_positions = 0
        return path

    def close(self) -> None:
        self.flush()


@dataclass
class _GameArrays:
    """One game as flat arrays: what a shard stores of it."""

    moves: np.ndarray             # (N, 2) player, tile
    policy_tiles: np.ndarray      # (P,)
    policy_fractions: np.ndarray  # (P,)
    policy_lengths: np.ndarray    # (N,)
    payoffs: np.ndarray           # (PLAYERS,)
    search_values: Optional[np.ndarray] = None  # (N, PLAYERS), when the engine reports them


def _game_data(record: Any) -> _GameArrays:
    """The arrays of a record: the batched engine's GameRecord, or a `(moves, policies,
    payoffs)` triple with or without its worker id."""
    if hasattr(record, "policy_lengths"):
        search = getattr(record, "search_values", None)
        game = _GameArrays(np.asarray(record.moves).reshape(-1, 2), np.asarray(record.policy_tiles),
                           np.asarray(record.policy_fractions), np.asarray(record.policy_lengths),
                           np.asarray(record.payoffs, dtype=np.float32),
                           None if search is None else np.asarray(search, dtype=np.float32).reshape(-1, PLAYERS))
    else:
        if len(record) == 2:
            record = record[1]
        moves, policies, payoffs = record
        pairs = np.asarray([pair for policy in policies for pair in policy], dtype=np.float64).reshape(-1, 2)
        game = _GameArrays(np.asarray(moves, dtype=np.int64).reshape(-1, 2), pairs[:, 0].astype(np.int64),
                           pairs[:, 1], np.asarray([len(p) for p in policies], dtype=np.int64),
                           np.asarray(payoffs, dtype=np.float32))
    if len(game.moves) != len(game.policy_lengths):
        raise ValueError(f"a record has {len(game.moves)} moves but {len(game.policy_lengths)} policies")
    if game.payoffs.shape != (PLAYERS,):
        raise ValueError(f"a record has {game.payoffs.size} payoffs, expected {PLAYERS}")
    if game.search_values is not None and len(game.search_values) != len(game.moves):
        raise ValueError(f"a record has {len(game.moves)} moves but {len(game.search_values)} search values")
    return game


def _to_arrays(games: list, dim: int) -> dict:
    move_type = np.int16 if dim * dim <= np.iinfo(np.int16).max else np.int32
    all_moves = np.concatenate([g.moves for g in games]).astype(np.int64) if games else np.zeros((0, 2), np.int64)
    tiles = np.concatenate([g.policy_tiles for g in games]).astype(np.int64) if games else np.zeros(0, np.int64)
    fractions = np.concatenate([g.policy_fractions for g in games]) if games else np.zeros(0)
    lengths = np.concatenate([g.policy_lengths for g in games]) if games else np.zeros(0, np.int64)
    if len(all_moves) and (all_moves[:, 0].min() < 0 or all_moves[:, 0].max() >= PLAYERS):
        raise ValueError(f"a move names a player outside 0 to {PLAYERS - 1}")
    if (len(all_moves) and (all_moves[:, 1].min() < 0 or all_moves[:, 1].max() >= dim * dim)) or \
            (len(tiles) and (tiles.min() < 0 or tiles.max() >= dim * dim)):
        raise ValueError(f"a tile lies outside the {dim} x {dim} board")
    arrays = {
        "dim": np.array(dim, dtype=np.int64),
        "moves": all_moves.astype(move_type),
        "game_offsets": np.concatenate(([0], np.cumsum([len(g.moves) for g in games]))).astype(np.int64),
        "policy_tiles": tiles.astype(np.int32),
        "policy_fractions": fractions.astype(np.float32),
        "policy_offsets": np.concatenate(([0], np.cumsum(lengths))).astype(np.int64),
        "payoffs": np.asarray([g.payoffs for g in games], dtype=np.float32).reshape(-1, PLAYERS),
    }
    if any(g.search_values is not None for g in games):
        arrays["search_values"] = np.concatenate([_search_values(g) for g in games]).astype(np.float32)
    return arrays


def _search_values(game: _GameArrays) -> np.ndarray:
    """The game's search values, or NaN rows for a game recorded without them."""
    if game.search_values is not None:
        return game.search_values
    return np.full((len(game.moves), PLAYERS), np.nan, dtype=np.float32)


@contextlib.contextmanager
def _interrupts_deferred() -> Iterator[None]:
    """Holds SIGINT and SIGTERM back from the calling thread until the block ends."""
    held = {signal.SIGINT, signal.SIGTERM}
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _next_shard_number(directory: Path) -> int:
    numbers = [int(m.group(1)) for p in directory.iterdir() if (m := re.fullmatch(r"shard-(\d+)\.npz", p.name))]
    return max(numbers, default=-1) + 1
