"""Self-play datasets: compressed NumPy shards, and the training tensors drawn from them.

A shard is one `.npz` file that plain NumPy reads without pickle:

    dim               int scalar        board side
    moves             int16/int32 (N, 2) (player, tile) of every position, games concatenated
    game_offsets      int64 (G + 1,)    game g owns positions game_offsets[g]:game_offsets[g + 1]
    policy_tiles      int32 (P,)        root policies, sparse: the searched tiles ...
    policy_fractions  float32 (P,)      ... and their visit fractions
    policy_offsets    int64 (N + 1,)    position i owns entries policy_offsets[i]:policy_offsets[i + 1]
    payoffs           float32 (G, 4)    final payoffs, absolute player order
    metadata          0-d str           JSON: engine configuration, network checkpoint, counts, time,
                                        and the checksum of the other arrays (see arrays_checksum)

read_shard verifies the checksum; a shard written before shards carried one loads unchecked.

Training targets. The input planes are the engine's encoding of the position before each
move (replayed with rules.encode_record). The policy target is the root visit
distribution made dense over dim * dim tiles; NaN fractions (a search without visits)
count as zero, and a position whose fractions sum to zero gets a uniform target over
its listed tiles. A position without a policy (a move searched with the fast budget of
playout-cap randomisation) is not recorded: it is replayed but never trained on. The value target is the payoffs rotated to the view of the player to
move, like the network's value logits: value[k] = payoffs[(mover + k) % 4]. The score
target, for a network's score head, is in the same order the number of cells each player
has placed when the game ends (its moves in the record, one cell each), as a share of a
quarter of the board's cells.
"""

from __future__ import annotations

import contextlib
import errno
import hashlib
import io
import json
import math
import os
import re
import signal
import stat
import time
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable, Iterator, Optional, Sequence

import numpy as np

from ..base.atomic import atomic_write
from ..engine.constants import MAX_DIM, MIN_DIM, PLAYERS, STATE_PLANES
from ..engine.rules import encode_record
from ..base.errors import brief

SHARD_FORMAT = "tavlox-zero-shard"
SHARD_VERSION = 1
ARRAYS = ("dim", "moves", "game_offsets", "policy_tiles", "policy_fractions", "policy_offsets", "payoffs", "metadata")


@dataclass
class Shard:
    dim: int
    moves: np.ndarray
    game_offsets: np.ndarray
    policy_tiles: np.ndarray
    policy_fractions: np.ndarray
    policy_offsets: np.ndarray
    payoffs: np.ndarray
    metadata: dict

    @property
    def num_games(self) -> int:
        return len(self.payoffs)

    @property
    def num_positions(self) -> int:
        return len(self.moves)

    def position_games(self) -> np.ndarray:
        """The game index of every position."""
        return np.repeat(np.arange(self.num_games), np.diff(self.game_offsets))

    def game(self, g: int) -> tuple[list, list, list]:
        """Game g as a training record's data: (moves, policies, payoffs) in Python types."""
        first, last = self.game_offsets[g], self.game_offsets[g + 1]
        moves = [(int(p), int(t)) for p, t in self.moves[first:last]]
        policies = []
        for i in range(first, last):
            a, b = self.policy_offsets[i], self.policy_offsets[i + 1]
            policies.append(list(zip(self.policy_tiles[a:b].tolist(), self.policy_fractions[a:b].tolist())))
        return moves, policies, self.payoffs[g].tolist()

    def records(self) -> Iterator[tuple[list, list, list]]:
        for g in range(self.num_games):
            yield self.game(g)


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


def read_shard(path: os.PathLike | str) -> Shard:
    """Loads and checks one shard; raises ValueError naming the file and the inconsistency.

    The sizes the archive declares are checked against each other and against the file's
    size before any array is inflated, so a crafted file costs no more than an honest one."""
    with open_shard(path) as data:
        missing = [name for name in ARRAYS if name not in data.files]
        if missing:
            raise ValueError(f"{path}: not a self-play shard (missing {', '.join(missing)})")
        try:
            headers = {name: data.header(name) for name in ARRAYS}
            problem = _header_problem(headers)
            if problem:
                raise CorruptShard(f"{path}: corrupt shard: {problem}")
            dim = data.board_side()
            problem = _dim_problem(dim) or _size_problem(headers, dim)
            if problem:
                raise CorruptShard(f"{path}: corrupt shard: {problem}")
            arrays = {name: data[name] for name in ARRAYS}
            metadata = json.loads(str(arrays["metadata"]))
            expected = metadata.get("checksum") if isinstance(metadata, dict) else None
            if expected is not None and expected != arrays_checksum(arrays):
                raise CorruptShard(f"{path}: corrupt shard: its arrays do not match the checksum in its metadata")
            shard = Shard(
                dim=dim,
                moves=arrays["moves"].astype(np.int64),
                game_offsets=arrays["game_offsets"].astype(np.int64),
                policy_tiles=arrays["policy_tiles"].astype(np.int64),
                policy_fractions=arrays["policy_fractions"].astype(np.float32),
                policy_offsets=arrays["policy_offsets"].astype(np.int64),
                payoffs=arrays["payoffs"].astype(np.float32),
                metadata=metadata,
            )
        except CorruptShard:
            raise
        except UNREADABLE as error:
            raise CorruptShard(f"{path}: corrupt shard ({_reason(error)}); write it again or leave it out") from error
    problem = _inconsistency(shard)
    if problem:
        raise ValueError(f"{path}: corrupt shard: {problem}")
    return shard


def arrays_checksum(arrays: dict) -> str:
    """SHA-256 of every array but the metadata (which holds the sum): names, types, shapes and bytes."""
    digest = hashlib.sha256()
    for name in ARRAYS:
        if name == "metadata":
            continue
        array = np.ascontiguousarray(arrays[name])
        digest.update(f"{name}:{array.dtype.str}:{array.shape};".encode())
        digest.update(array.reshape(-1).view(np.uint8))
    return f"sha256:{digest.hexdigest()}"


class CorruptShard(ValueError):
    """A file that cannot be decoded as a shard; the message names it."""


# Decoding a damaged archive can fail in many ways (zipfile, zlib and NumPy's header parser
# raise BadZipFile, zlib.error, EOFError, NotImplementedError for an unknown flag,
# RuntimeError for an encrypted member, tokenize's TokenError, ...): while the bytes of a
# shard are decoded, any Exception means the file is not a readable shard.
UNREADABLE = (Exception,)


# An honest shard's arrays inflate to about ten times its file's size. An archive whose
# arrays declare more than MAX_INFLATION times its size, and more than INFLATION_FLOOR_BYTES
# (which any small honest shard stays under), is refused before anything is inflated.
MAX_INFLATION = 64
INFLATION_FLOOR_BYTES = 8 << 20

# What every array holds: NumPy kinds of its numbers and its number of dimensions.
ARRAY_KINDS = {"dim": ("iu", 0), "moves": ("iu", 2), "game_offsets": ("iu", 1), "policy_tiles": ("iu", 1),
               "policy_fractions": ("f", 1), "policy_offsets": ("iu", 1), "payoffs": ("f", 2), "metadata": ("U", 0)}


@contextlib.contextmanager
def open_shard(path: os.PathLike | str) -> Iterator[Any]:
    """The shard's archive (np.load, no pickle); a file that is not one raises ValueError naming it.

    A missing or unreadable file raises its OSError, which names the file."""
    if isinstance(path, (str, os.PathLike)) and os.path.exists(path) and not os.path.isdir(path) \
            and not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError(f"{path}: not a regular file (a shard is one)")
    try:
        data = np.load(path, allow_pickle=False)
    except (FileNotFoundError, PermissionError, IsADirectoryError):
        raise
    except UNREADABLE as error:
        raise CorruptShard(f"{path}: not a readable shard ({_reason(error)}); write it again or leave it out") \
            from error
    if not hasattr(data, "files"):
        raise ValueError(f"{path}: not a shard (a single array, not an .npz archive)")
    with data:
        archive = _Archive(path, data)
        archive.check_declared_sizes()
        yield archive


class _Archive:
    """An open .npz archive whose members, read one by one, raise ValueError naming the file
    when they cannot be decoded or declare more than the file can honestly hold."""

    def __init__(self, path: os.PathLike | str, data: Any) -> None:
        self._path, self._data = path, data
        self.files = data.files

    def _member(self, name: str) -> zipfile.ZipInfo:
        names = self._data.zip.namelist()
        return self._data.zip.getinfo(f"{name}.npy" if f"{name}.npy" in names else name)

    def check_declared_sizes(self) -> None:
        """Refuses an archive whose arrays declare more bytes than its size allows."""
        try:
            declared = sum(self._member(name).file_size for name in ARRAYS if name in self.files)
            size = _stream_size(self._data.zip.fp)
        except UNREADABLE as error:
            raise CorruptShard(f"{self._path}: corrupt shard ({_reason(error)}); write it again or leave it out") \
                from error
        if declared > max(INFLATION_FLOOR_BYTES, MAX_INFLATION * size):
            raise CorruptShard(f"{self._path}: corrupt shard: its arrays would inflate to {declared} bytes from "
                               f"{size}, far beyond any honest shard; write it again or leave it out")

    def header(self, name: str) -> tuple:
        """(shape, dtype) of member `name`, read from its header alone; ValueError when the header
        does not describe the member's declared size."""
        info = self._member(name)
        with self._data.zip.open(info) as member:
            version = np.lib.format.read_magic(member)
            if version == (1, 0):
                shape, _, dtype = np.lib.format.read_array_header_1_0(member)
            elif version == (2, 0):
                shape, _, dtype = np.lib.format.read_array_header_2_0(member)
            else:
                raise ValueError(f"{name}: array format version {version} is not one NumPy writes for shards")
            header_bytes = member.tell()
        if dtype.hasobject or header_bytes + math.prod(shape) * dtype.itemsize != info.file_size:
            raise ValueError(f"{name}: its header does not describe its {info.file_size} bytes")
        return shape, dtype

    def board_side(self) -> int:
        """The shard's board side; ValueError naming the file when `dim` is not one integer."""
        dim = self["dim"]
        if dim.shape != () or dim.dtype.kind not in "iu":
            raise CorruptShard(f"{self._path}: corrupt shard: dim of type {dim.dtype} and shape {dim.shape}")
        return int(dim)

    def __getitem__(self, name: str) -> np.ndarray:
        try:
            self.header(name)
            return self._data[name]
        except UNREADABLE as error:
            raise CorruptShard(f"{self._path}: corrupt shard ({_reason(error)}); write it again or leave it out") \
                from error


def _stream_size(stream: Any) -> int:
    try:
        return os.fstat(stream.fileno()).st_size
    except (AttributeError, OSError, io.UnsupportedOperation):
        position = stream.tell()
        size = stream.seek(0, io.SEEK_END)
        stream.seek(position)
        return size


def _header_problem(headers: dict) -> Optional[str]:
    """What is wrong with the kinds and shapes the arrays' headers declare, if anything."""
    for name, (kinds, ndim) in ARRAY_KINDS.items():
        shape, dtype = headers[name]
        if dtype.kind not in kinds or len(shape) != ndim:
            return f"{name} of type {dtype} and shape {shape}"
    (n, width), (g, players) = headers["moves"][0], headers["payoffs"][0]
    if width != 2:
        return f"moves of shape {(n, width)}"
    if players != PLAYERS:
        return f"payoffs of shape {(g, players)}"
    if headers["game_offsets"][0] != (g + 1,):
        return "game offsets do not cover the moves"
    if headers["policy_offsets"][0] != (n + 1,):
        return "policy offsets do not cover the policy entries"
    if headers["policy_tiles"][0] != headers["policy_fractions"][0]:
        return "policy tiles and fractions differ in length"
    return None


def _dim_problem(dim: int) -> Optional[str]:
    return None if MIN_DIM <= dim <= MAX_DIM else f"board side {dim} outside {MIN_DIM} to {MAX_DIM}"


def _size_problem(headers: dict, dim: int) -> Optional[str]:
    """Counts no game of the board can reach: a game places each tile once, and a root policy
    lists each tile once."""
    n, g, entries = headers["moves"][0][0], headers["payoffs"][0][0], headers["policy_tiles"][0][0]
    cells = dim * dim
    if n > g * cells:
        return f"{n} positions in {g} games of a {dim}x{dim} board"
    if entries > n * cells:
        return f"{entries} policy entries for {n} positions of a {dim}x{dim} board"
    return None


def shard_paths(paths: Sequence[os.PathLike | str]) -> list[Path]:
    """The shards named: files as given, and a directory's *.npz files in name order.

    Raises FileNotFoundError for a missing path and ValueError for a directory without shards."""
    found: list[Path] = []
    for path in map(Path, paths):
        if path.is_dir():
            inside = sorted(p for p in path.glob("*.npz") if p.is_file())
            if not inside:
                raise ValueError(f"{path}: no shards (*.npz) in this directory")
            found.extend(inside)
        elif path.is_file():
            found.append(path)
        elif path.exists():
            raise ValueError(f"{path}: not a regular file (a shard is one)")
        else:
            raise FileNotFoundError(errno.ENOENT, "no such shard", str(path))
    return found


def _reason(error: BaseException) -> str:
    return brief(f"{type(error).__name__}: {error}" if str(error) else type(error).__name__)


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


class TrainingDataset:
    """Training positions of one or more shards, as a map-style dataset of torch tensors.

    Item i is (planes float32 (5, d, d), policy float32 (d * d), value float32 (4,)),
    recorded positions (those with a policy) in shard order. Shards may differ in board side; a batch must not mix
    sides (iterate_batches groups them). The input planes are replayed once at load
    time and kept bit-packed (one bit per plane cell).
    """

    def __init__(self, paths: Sequence[os.PathLike | str]) -> None:
        if not paths:
            raise ValueError("no shards given")
        self.paths = [Path(p) for p in paths]
        self._tables = [_PositionTable(read_shard(p)) for p in self.paths]
        sizes = [t.size for t in self._tables]
        self._starts = np.concatenate(([0], np.cumsum(sizes))).astype(np.int64)
        self.dims = np.concatenate([np.full(s, t.dim, dtype=np.int64) for s, t in zip(sizes, self._tables)])

    def __len__(self) -> int:
        return int(self._starts[-1])

    def position_games(self) -> np.ndarray:
        """(N, 2) int64: for every item, the number of its shard in ``paths`` and its game in that shard."""
        return np.concatenate([np.stack((np.full(t.size, k), t.games), axis=1) for k, t in enumerate(self._tables)])

    def __getitem__(self, index: int) -> tuple:
        if not -len(self) <= index < len(self):
            raise IndexError(f"position {index} out of range for {len(self)} positions")
        planes, policy, value = self.batch(np.array([index % len(self)]))
        return planes[0], policy[0], value[0]

    def batch(self, indices: Sequence[int] | np.ndarray) -> tuple:
        """Tensors (planes (B, 5, d, d), policy (B, d * d), value (B, 4)) for positions of one board side."""
        import torch

        indices = np.asarray(indices, dtype=np.int64)
        sides = np.unique(self.dims[indices])
        if len(sides) != 1:
            raise ValueError(f"a batch must hold positions of one board side, got sides {sides.tolist()}")
        dim = int(sides[0])
        planes = np.empty((len(indices), STATE_PLANES, dim, dim), dtype=np.float32)
        policy = np.empty((len(indices), dim * dim), dtype=np.float32)
        value = np.empty((len(indices), PLAYERS), dtype=np.float32)
        for table, chosen, local in self._by_table(indices):
            planes[chosen] = table.planes(local)
            policy[chosen] = table.policies(local)
            value[chosen] = table.values[local]
        return torch.from_numpy(planes), torch.from_numpy(policy), torch.from_numpy(value)

    def scores(self, indices: Sequence[int] | np.ndarray) -> Any:
        """The score targets (B, 4) of positions: final cells placed per player, from the
        mover's view, as a share of dim * dim / 4."""
        import torch

        indices = np.asarray(indices, dtype=np.int64)
        scores = np.empty((len(indices), PLAYERS), dtype=np.float32)
        for table, chosen, local in self._by_table(indices):
            scores[chosen] = table.scores[local]
        return torch.from_numpy(scores)

    def _by_table(self, indices: np.ndarray) -> Iterator[tuple["_PositionTable", np.ndarray, np.ndarray]]:
        """For each shard holding some of `indices`: its table, where those items sit in
        `indices`, and their numbers within the table."""
        table_of = np.searchsorted(self._starts, indices, side="right") - 1
        for t in np.unique(table_of):
            chosen = np.flatnonzero(table_of == t)
            yield self._tables[t], chosen, indices[chosen] - self._starts[t]


def iterate_batches(dataset: TrainingDataset, batch_size: int, *, shuffle: bool = True,
                    drop_last: bool = False, seed: Optional[int] = None) -> Iterator[tuple]:
    """One pass over the dataset in batches of one board side each (see TrainingDataset.batch)."""
    if batch_size < 1:
        raise ValueError(f"batch_size must be at least 1, got {batch_size}")
    rng = np.random.default_rng(seed)
    batches = []
    for side in np.unique(dataset.dims):
        indices = np.flatnonzero(dataset.dims == side)
        if shuffle:
            rng.shuffle(indices)
        for start in range(0, len(indices), batch_size):
            chunk = indices[start:start + batch_size]
            if len(chunk) == batch_size or not drop_last:
                batches.append(chunk)
    order = rng.permutation(len(batches)) if shuffle else range(len(batches))
    for b in order:
        yield dataset.batch(batches[b])


class _PositionTable:
    """One shard's positions prepared for fast gathering."""

    def __init__(self, shard: Shard) -> None:
        self.dim = shard.dim
        # Local item i is position kept[i]: the recorded positions.
        self.kept = np.flatnonzero(np.diff(shard.policy_offsets) > 0)
        self.size = len(self.kept)
        cells = self.dim * self.dim
        self._packed = np.empty((shard.num_positions, STATE_PLANES, (cells + 7) // 8), dtype=np.uint8)
        for g in range(shard.num_games):
            first, last = shard.game_offsets[g], shard.game_offsets[g + 1]
            if last > first:
                states = encode_record(self.dim, shard.moves[first:last])
                self._packed[first:last] = np.packbits(states.reshape(last - first, STATE_PLANES, cells), axis=-1)
        self._offsets = shard.policy_offsets
        self._tiles = shard.policy_tiles
        self._weights = _policy_weights(shard.policy_fractions, np.diff(shard.policy_offsets))
        movers = shard.moves[self.kept, 0]
        # The game of every item (not of every position: unrecorded positions are no items).
        games = shard.position_games()
        self.games = games[self.kept]
        rotation = (movers[:, None] + np.arange(PLAYERS)[None, :]) % PLAYERS
        self.values = np.take_along_axis(shard.payoffs[self.games], rotation, axis=1).astype(np.float32)
        cells_placed = _cells_placed(shard, games)[self.games] * (PLAYERS / cells)
        self.scores = np.take_along_axis(cells_placed, rotation, axis=1).astype(np.float32)
        if self.size == shard.num_positions:
            self.kept = None  # every position is recorded: items are positions

    def _positions(self, local: np.ndarray) -> np.ndarray:
        return local if self.kept is None else self.kept[local]

    def planes(self, local: np.ndarray) -> np.ndarray:
        cells = self.dim * self.dim
        bits = np.unpackbits(self._packed[self._positions(local)], axis=-1, count=cells)
        return bits.reshape(len(local), STATE_PLANES, self.dim, self.dim)

    def policies(self, local: np.ndarray) -> np.ndarray:
        local = self._positions(local)
        starts = self._offsets[local]
        lengths = self._offsets[local + 1] - starts
        rows = np.repeat(np.arange(len(local)), lengths)
        first_of_row = np.repeat(np.cumsum(lengths) - lengths, lengths)
        entries = np.arange(lengths.sum()) - first_of_row + np.repeat(starts, lengths)
        dense = np.zeros((len(local), self.dim * self.dim), dtype=np.float32)
        dense[rows, self._tiles[entries]] = self._weights[entries]
        return dense


def _cells_placed(shard: Shard, games: np.ndarray) -> np.ndarray:
    """(G, 4): the cells each player placed in each game, one per move of theirs
    (`games`: the game of every position)."""
    owners = games * PLAYERS + shard.moves[:, 0].astype(np.int64)
    return np.bincount(owners, minlength=shard.num_games * PLAYERS).reshape(shard.num_games, PLAYERS).astype(np.float64)


def _policy_weights(fractions: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """Fractions renormalised per position; NaN counts as 0; all-zero positions become uniform."""
    clean = np.nan_to_num(fractions.astype(np.float64), nan=0.0, posinf=0.0, neginf=0.0).clip(min=0.0)
    owner = np.repeat(np.arange(len(lengths)), lengths)
    sums = np.bincount(owner, weights=clean, minlength=len(lengths))
    positive = sums[owner] > 0
    weights = np.where(positive, clean / np.where(positive, sums[owner], 1.0), 1.0 / np.maximum(lengths[owner], 1))
    return weights.astype(np.float32)


@dataclass
class _GameArrays:
    """One game as flat arrays: what a shard stores of it."""

    moves: np.ndarray             # (N, 2) player, tile
    policy_tiles: np.ndarray      # (P,)
    policy_fractions: np.ndarray  # (P,)
    policy_lengths: np.ndarray    # (N,)
    payoffs: np.ndarray           # (PLAYERS,)


def _game_data(record: Any) -> _GameArrays:
    """The arrays of a record: the batched engine's GameRecord, or a `(moves, policies,
    payoffs)` triple with or without its worker id."""
    if hasattr(record, "policy_lengths"):
        game = _GameArrays(np.asarray(record.moves).reshape(-1, 2), np.asarray(record.policy_tiles),
                           np.asarray(record.policy_fractions), np.asarray(record.policy_lengths),
                           np.asarray(record.payoffs, dtype=np.float32))
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
    return {
        "dim": np.array(dim, dtype=np.int64),
        "moves": all_moves.astype(move_type),
        "game_offsets": np.concatenate(([0], np.cumsum([len(g.moves) for g in games]))).astype(np.int64),
        "policy_tiles": tiles.astype(np.int32),
        "policy_fractions": fractions.astype(np.float32),
        "policy_offsets": np.concatenate(([0], np.cumsum(lengths))).astype(np.int64),
        "payoffs": np.asarray([g.payoffs for g in games], dtype=np.float32).reshape(-1, PLAYERS),
    }


def _inconsistency(shard: Shard) -> Optional[str]:
    n, g = shard.num_positions, shard.num_games
    cells = shard.dim * shard.dim
    if _dim_problem(shard.dim):
        return _dim_problem(shard.dim)
    if shard.moves.ndim != 2 or shard.moves.shape[1] != 2:
        return f"moves of shape {shard.moves.shape}"
    if shard.payoffs.shape != (g, PLAYERS):
        return f"payoffs of shape {shard.payoffs.shape}"
    if not _covers(shard.game_offsets, g, n):
        return "game offsets do not cover the moves"
    if len(shard.policy_tiles) != len(shard.policy_fractions):
        return "policy tiles and fractions differ in length"
    if not _covers(shard.policy_offsets, n, len(shard.policy_tiles)):
        return "policy offsets do not cover the policy entries"
    if n and not (0 <= shard.moves[:, 0].min() and shard.moves[:, 0].max() < PLAYERS):
        return f"a move names a player outside 0 to {PLAYERS - 1}"
    if n and not (0 <= shard.moves[:, 1].min() and shard.moves[:, 1].max() < cells):
        return "a move lies off the board"
    if len(shard.policy_tiles) and not (0 <= shard.policy_tiles.min() and shard.policy_tiles.max() < cells):
        return "a policy tile lies off the board"
    # A search without visits records NaN fractions (counted as 0 in training); nothing else
    # lies outside [0, 1].
    fractions = shard.policy_fractions[~np.isnan(shard.policy_fractions)]
    if len(fractions) and not (fractions.min() >= 0 and fractions.max() <= 1 + PAYOFF_TOLERANCE):
        return "a policy fraction lies outside [0, 1]"
    if g and not (np.isfinite(shard.payoffs).all() and shard.payoffs.min() >= 0 and shard.payoffs.max() <= 1):
        return "a payoff is not a number in [0, 1]"
    if g and not np.allclose(shard.payoffs.sum(axis=1, dtype=np.float64), 1.0, rtol=0, atol=PAYOFF_TOLERANCE):
        return "a game's payoffs do not sum to 1"
    return None


# Payoffs and fractions are stored as float32: sums may miss 1 by rounding.
PAYOFF_TOLERANCE = 1e-3


def _covers(offsets: np.ndarray, parts: int, total: int) -> bool:
    """True when `offsets` splits 0..total into `parts` ordered ranges."""
    return (offsets.shape == (parts + 1,) and offsets[0] == 0 and offsets[-1] == total
            and bool(np.all(np.diff(offsets) >= 0)))


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
