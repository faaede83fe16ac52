"""The self-play shard: its file format, reading and checking it, and finding shards on disk.

A shard is one `.npz` file that plain NumPy reads without pickle:

    dim               int scalar        board side
    moves             int16/int32 (N, 2) (player, tile) of every position, games concatenated
    game_offsets      int64 (G + 1,)    game g owns positions game_offsets[g]:game_offsets[g + 1]
    policy_tiles      int32 (P,)        root policies, sparse: the searched tiles ...
    policy_fractions  float32 (P,)      ... and their visit fractions
    policy_offsets    int64 (N + 1,)    position i owns entries policy_offsets[i]:policy_offsets[i + 1]
    payoffs           float32 (G, 4)    final payoffs, absolute player order
    search_values     float32 (N, 4)    optional: every player's mean leaf value in the search
                                        of each move, absolute order (NaN: no simulations)
    metadata          0-d str           JSON: engine configuration, network checkpoint, counts, time,
                                        and the checksum of the other arrays (see arrays_checksum)

read_shard verifies the checksum; a shard written before shards carried one loads unchecked.

Shards are written by shard_writer; the training dataset drawn from them is dataset's.
"""

from __future__ import annotations

import contextlib
import errno
import hashlib
import io
import json
import math
import os
import stat
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator, Optional, Sequence

import numpy as np

from ..base.errors import brief
from ..engine.constants import MAX_DIM, MIN_DIM, PLAYERS

SHARD_FORMAT = "tavlox-zero-shard"
SHARD_VERSION = 1
ARRAYS = ("dim", "moves", "game_offsets", "policy_tiles", "policy_fractions", "policy_offsets", "payoffs", "metadata")
OPTIONAL_ARRAYS = ("search_values",)

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
    search_values: Optional[np.ndarray] = None

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

def read_shard(path: os.PathLike | str) -> Shard:
    """Loads and checks one shard; raises ValueError naming the file and the inconsistency.

    The sizes the archive declares are checked against each other and against the file's
    size before any array is inflated, so a crafted file costs no more than an honest one."""
    with open_shard(path) as data:
        missing = [name for name in ARRAYS if name not in data.files]
        if missing:
            raise ValueError(f"{path}: not a self-play shard (missing {', '.join(missing)})")
        names = ARRAYS + tuple(name for name in OPTIONAL_ARRAYS if name in data.files)
        try:
            headers = {name: data.header(name) for name in names}
            problem = _header_problem(headers)
            if problem:
                raise CorruptShard(f"{path}: corrupt shard: {problem}")
            dim = data.board_side()
            problem = _dim_problem(dim) or _size_problem(headers, dim)
            if problem:
                raise CorruptShard(f"{path}: corrupt shard: {problem}")
            arrays = {name: data[name] for name in names}
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
                search_values=_optional_float32(arrays, "search_values"),
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
    for name in ARRAYS + OPTIONAL_ARRAYS:
        if name == "metadata" or name not in arrays:
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
               "policy_fractions": ("f", 1), "policy_offsets": ("iu", 1), "payoffs": ("f", 2), "metadata": ("U", 0),
               "search_values": ("f", 2)}


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
            declared = sum(self._member(name).file_size for name in ARRAYS + OPTIONAL_ARRAYS if name in self.files)
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
    for name, (shape, dtype) in headers.items():
        kinds, ndim = ARRAY_KINDS[name]
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
    if "search_values" in headers and headers["search_values"][0] != (n, PLAYERS):
        return f"search values of shape {headers['search_values'][0]} for {n} positions"
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


def shard_dim(path: os.PathLike | str) -> int:
    with open_shard(path) as shard:
        if "dim" not in shard.files:
            raise ValueError(f"{path}: not a self-play shard (no board side, 'dim')")
        return shard.board_side()


def shard_engine_config(path: os.PathLike | str) -> Optional[dict]:
    """The engine configuration a shard's metadata names, if any."""
    with open_shard(path) as shard:
        if "metadata" not in shard.files:
            return None
        try:
            metadata = json.loads(str(shard["metadata"]))
        except (json.JSONDecodeError, RecursionError):
            return None
    config = metadata.get("engine_config") if isinstance(metadata, dict) else None
    return config if isinstance(config, dict) else None


def check_shards(paths: Sequence[os.PathLike | str]) -> int:
    """The board side shared by all shards; raises when they disagree or are missing."""
    if not paths:
        raise ValueError("no training shards given")
    missing = [str(p) for p in paths if not Path(p).is_file()]
    if missing:
        raise FileNotFoundError(f"training shards not found: {', '.join(missing)}")
    dims = {str(p): shard_dim(p) for p in paths}
    if len(set(dims.values())) != 1:
        sizes = ", ".join(f"{Path(p).name} {d}x{d}" for p, d in dims.items())
        raise ValueError(f"shards of different board sizes cannot be mixed ({sizes}): train on one size")
    return next(iter(dims.values()))


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
    values = shard.search_values
    if values is not None and not (np.isnan(values) | ((values >= 0) & (values <= 1 + PAYOFF_TOLERANCE))).all():
        return "a search value is not a number in [0, 1]"
    return None


# Payoffs and fractions are stored as float32: sums may miss 1 by rounding.
PAYOFF_TOLERANCE = 1e-3


def _optional_float32(arrays: dict, name: str) -> Optional[np.ndarray]:
    return arrays[name].astype(np.float32) if name in arrays else None


def _covers(offsets: np.ndarray, parts: int, total: int) -> bool:
    """True when `offsets` splits 0..total into `parts` ordered ranges."""
    return (offsets.shape == (parts + 1,) and offsets[0] == 0 and offsets[-1] == total
            and bool(np.all(np.diff(offsets) >= 0)))
