"""A game as people look at it: tiles grouped into pieces, the position after every tile, and
board coordinates by name.

Everything here is read off the rules engine. A piece completes when the chosen tiles
determine it, so whether the player to move is still inside a piece is visible in its
state: in the middle of a piece some legal tile shares an edge with the player's own cells
(the piece is connected and not finished), while at the start of a turn no legal tile ever
does (a new piece never shares an edge with the player's pieces).
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional, Sequence

import numpy as np

from ..engine.constants import MAX_DIM, MIN_DIM, PLAYERS
from ..base.errors import brief
from ..engine.rules import Game, in_piece

# Where each player starts, in turn order.
CORNER_NAMES = ("top-left", "top-right", "bottom-right", "bottom-left")
RECORD_FORMAT = "tavlox-zero-game"


def starting_cells(game: Game) -> int:
    """The cells every player holds in pieces at the start of a game (a score counts the cells
    placed minus these)."""
    return -Game(game.dim).scores()[0]


@dataclass
class Position:
    """The game after ``step`` tiles."""

    step: int
    player: Optional[int]  # to move; None once the game is over
    scores: list
    pieces_left: list  # per player, the catalogue indices of the pieces not placed yet
    cells_placed: list
    in_piece: bool


@dataclass
class Timeline:
    """A whole game replayed: the position after every tile and the pieces the tiles form."""

    dim: int
    shapes: list  # the catalogue: every piece's canonical cells
    moves: list  # (player, tile)
    positions: list  # len(moves) + 1 Positions
    pieces: list  # (player, [tiles]) of every completed piece, in order
    piece_ends: list  # the step after each completed piece
    policies: list = field(default_factory=list)  # root (tile, fraction) lists per searched step
    payoffs: Optional[list] = None

    @property
    def final(self) -> Position:
        return self.positions[-1]

    def owners(self, step: int) -> np.ndarray:
        """(dim, dim) int array: the player owning each cell after ``step`` tiles, -1 if empty."""
        board = np.full(self.dim * self.dim, -1, dtype=np.int8)
        for player, tile in self.moves[:step]:
            board[tile] = player
        return board.reshape(self.dim, self.dim)

    def policy(self, step: int) -> list:
        """The search's root visit fractions in the position after ``step`` tiles (may be empty)."""
        return self.policies[step] if step < len(self.policies) else []


def replay(dim: int, moves: Sequence[Sequence[int]], policies: Sequence = (), payoffs=None) -> Timeline:
    """Replays (player, tile) moves through the rules; ValueError names the first illegal one."""
    game = Game(dim)
    shapes = catalogue(starting_cells(game))
    index = {shape: i for i, shape in enumerate(shapes)}
    pieces_left = [list(range(len(shapes))) for _ in range(PLAYERS)]
    cells_placed = [0] * PLAYERS
    positions = [_position(game, 0, pieces_left, cells_placed)]
    pieces, piece_ends, current = [], [], []
    moves = [(int(p), int(t)) for p, t in moves]
    for step, (player, tile) in enumerate(moves, start=1):
        if player != game.player or game.is_terminal():
            raise ValueError(f"move {step - 1} is by player {player}, but {_mover(game)} is to move")
        try:
            game.apply(tile)
        except ValueError as error:
            raise ValueError(f"move {step - 1} (player {player}, tile {tile}): {error}") from None
        cells_placed[player] += 1
        current.append(tile)
        if not in_piece(game):
            pieces_left[player].remove(index[piece_shape(dim, current)])
            pieces.append((player, current))
            piece_ends.append(step)
            current = []
        positions.append(_position(game, step, pieces_left, cells_placed))
    policies = [[(int(t), float(f)) for t, f in p] for p in policies]
    return Timeline(dim, shapes, moves, positions, pieces, piece_ends, policies, payoffs)


def _mover(game: Game) -> str:
    return "nobody (the game is over)" if game.is_terminal() else f"player {game.player}"


def _position(game: Game, step: int, pieces_left: list, cells_placed: list) -> Position:
    return Position(
        step=step,
        player=None if game.is_terminal() else game.player,
        scores=list(game.scores()),
        pieces_left=[list(p) for p in pieces_left],
        cells_placed=list(cells_placed),
        in_piece=in_piece(game),
    )


# --- Board coordinates: columns a, b, ... from the left, rows 1, 2, ... from the bottom ----


def column_name(col: int) -> str:
    """a..z, then aa, ab, ... for boards wider than 26 columns."""
    name = ""
    col += 1
    while col:
        col, rest = divmod(col - 1, 26)
        name = chr(ord("a") + rest) + name
    return name


def cell_name(dim: int, tile: int) -> str:
    row, col = divmod(tile, dim)
    return f"{column_name(col)}{dim - row}"


def parse_cell(dim: int, text: str) -> int:
    """The tile of a cell name such as ``a20``; ValueError when it is not on the board."""
    text = text.strip().lower()
    letters = text.rstrip("0123456789")
    digits = text[len(letters):]
    if not letters or not digits or not letters.isalpha() or not letters.isascii():
        raise ValueError(f"'{text}' is not a cell (a column letter then a row number, like a1)")
    col = 0
    for letter in letters:
        col = col * 26 + (ord(letter) - ord("a") + 1)
    col -= 1
    row_number = int(digits)
    if not (0 <= col < dim and 1 <= row_number <= dim):
        raise ValueError(f"cell '{text}' is off the {dim}x{dim} board")
    return (dim - row_number) * dim + col


# --- Game records written by the interactive tools ----------------------------------------


def record_dict(game: Game, policies: Sequence = (), extra: Optional[dict] = None) -> dict:
    """A finished or unfinished game as JSON-ready data that `tavlox-zero show` reads."""
    data = {
        "format": RECORD_FORMAT,
        "dim": game.dim,
        "moves": [list(m) for m in game.history],
        "policies": [[[int(t), float(f)] for t, f in p] for p in policies],
        "scores": game.scores(),
        "payoffs": game.payoff() if game.is_terminal() else None,
    }
    data.update(extra or {})
    return data


def load_record(path: Path) -> Timeline:
    """The game of a record file; ValueError naming the file and what is wrong with it."""
    try:
        data = json.loads(Path(path).read_text(encoding="utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as error:
        raise ValueError(f"{path}: not a {RECORD_FORMAT} record ({brief(error)})") from None
    if not isinstance(data, dict) or data.get("format") != RECORD_FORMAT:
        raise ValueError(f"{path}: not a {RECORD_FORMAT} record")
    problem = _record_problem(data)
    if problem:
        raise ValueError(f"{path}: a broken game record: {problem}")
    try:
        return replay(data["dim"], data["moves"], data.get("policies") or (), data.get("payoffs"))
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None


def _is_int(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value: object) -> bool:
    return (_is_int(value) or isinstance(value, float)) and math.isfinite(value)


def _is_fraction(value: object) -> bool:
    """A number, or NaN: what a search without visits records."""
    return _is_number(value) or (isinstance(value, float) and math.isnan(value))


def _record_problem(data: dict) -> Optional[str]:
    """What keeps a record's fields from describing a game, if anything."""
    dim = data.get("dim")
    if not (_is_int(dim) and MIN_DIM <= dim <= MAX_DIM):
        return f"dim {brief(repr(dim))} is not a board side from {MIN_DIM} to {MAX_DIM}"
    cells = dim * dim
    moves = data.get("moves")
    if not isinstance(moves, list) or not all(
            isinstance(m, list) and len(m) == 2 and all(map(_is_int, m)) and 0 <= m[0] < PLAYERS and 0 <= m[1] < cells
            for m in moves):
        return f"moves must be [player, tile] pairs of players 0 to {PLAYERS - 1} and tiles of the board"
    policies = data.get("policies") or []
    if not isinstance(policies, list) or len(policies) > len(moves) or not all(
            isinstance(p, list) and all(isinstance(e, list) and len(e) == 2 and _is_int(e[0]) and 0 <= e[0] < cells
                                        and _is_fraction(e[1]) for e in p)
            for p in policies):
        return "policies must be lists of [tile, fraction] pairs of the board, one list per move at most"
    payoffs = data.get("payoffs")
    if payoffs is not None and not (isinstance(payoffs, list) and len(payoffs) == PLAYERS
                                    and all(map(_is_number, payoffs))):
        return f"payoffs must be {PLAYERS} numbers"
    return None


# --- The pieces: every polyomino up to the size at which they hold a player's cells -----


def canonical(cells) -> tuple:
    """The form of a set of (row, col) cells shared by all its rotations and reflections."""
    forms = []
    for flip in (False, True):
        for turns in range(4):
            shape = [(c, r) if flip else (r, c) for r, c in cells]
            for _ in range(turns):
                shape = [(c, -r) for r, c in shape]
            top = min(r for r, _ in shape)
            left = min(c for _, c in shape)
            forms.append(tuple(sorted((r - top, c - left) for r, c in shape)))
    return min(forms)


def catalogue(total_cells: int) -> list:
    """Every free polyomino of 1, 2, ... cells, smallest first, up to the size at which their
    cells add up to ``total_cells`` (the cells each player starts with)."""
    pieces, level = [], {((0, 0),)}
    while sum(len(p) for p in pieces) < total_cells:
        pieces.extend(sorted(level, key=lambda p: (len(p), p)))
        grown = set()
        for shape in level:
            cells = set(shape)
            for r, c in shape:
                for cell in ((r + 1, c), (r - 1, c), (r, c + 1), (r, c - 1)):
                    if cell not in cells:
                        grown.add(canonical(cells | {cell}))
        level = grown
    if sum(len(p) for p in pieces) != total_cells:
        raise RuntimeError(f"no set of whole polyomino sizes holds {total_cells} cells")
    return pieces


def piece_shape(dim: int, tiles: Sequence[int]) -> tuple:
    return canonical([divmod(t, dim) for t in tiles])
