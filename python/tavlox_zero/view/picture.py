"""Pictures of positions: the board in the four players' colours with a side panel (each
player's corner, score and the pieces it still holds), one PNG per position or an animated
GIF of a whole game, drawn with Pillow."""

from __future__ import annotations

from bisect import bisect_left
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path
from typing import Optional

from PIL import Image, ImageDraw, ImageFont

from ..engine.constants import PLAYERS
from .timeline import CORNER_NAMES, Timeline, cell_name, column_name

# Players 0-3 in turn order: the colours of the rules engine's own text rendering.
COLOURS = ("#d9412e", "#2f6fd6", "#e9b820", "#3b9c4a")
COLOUR_NAMES = ("red", "blue", "yellow", "green")
EMPTY = "#f3f1ec"
GRID = "#cfcac0"
INK = "#2b2b2b"
BACKGROUND = "#ffffff"
HEAT = (88, 28, 135)  # visit fractions: deep violet over the board
PANEL_WIDTH = 290
MINI_CELL = 5
BLOCK_HEIGHT = 138
GIF_FRAME_MS = 300
GIF_LAST_FRAME_MS = 2500


@dataclass(frozen=True)
class Layout:
    """Where things are drawn for a board of side ``dim``."""

    dim: int

    @property
    def cell(self) -> int:
        return max(12, min(40, 560 // self.dim))

    @property
    def margin(self) -> int:
        return 26

    @property
    def board_size(self) -> int:
        return self.dim * self.cell

    @property
    def size(self) -> tuple:
        width = 2 * self.margin + self.board_size + PANEL_WIDTH
        height = max(2 * self.margin + self.board_size, 2 * self.margin + 30 + PLAYERS * BLOCK_HEIGHT)
        return width, height

    def cell_box(self, tile: int) -> tuple:
        row, col = divmod(tile, self.dim)
        x, y = self.margin + col * self.cell, self.margin + row * self.cell
        return x, y, x + self.cell, y + self.cell

    def cell_centre(self, tile: int) -> tuple:
        x0, y0, x1, y1 = self.cell_box(tile)
        return (x0 + x1) // 2, (y0 + y1) // 2


@lru_cache(maxsize=8)
def _font(size: int) -> ImageFont.ImageFont:
    try:
        from matplotlib import font_manager

        return ImageFont.truetype(font_manager.findfont("DejaVu Sans"), size)
    except (ImportError, OSError, ValueError):
        return ImageFont.load_default()


def player_label(player: int) -> str:
    return f"Player {player + 1} ({COLOUR_NAMES[player]})"


def draw_position(timeline: Timeline, step: int, visits: bool = False) -> Image.Image:
    """The position after ``step`` tiles; with ``visits`` the search's root visit fractions of
    that position (when it was searched) as a heat map."""
    layout = Layout(timeline.dim)
    image = Image.new("RGB", layout.size, BACKGROUND)
    draw = ImageDraw.Draw(image, "RGBA")
    _draw_board(draw, layout, timeline, step)
    if visits:
        _draw_visits(draw, layout, timeline.policy(step))
    _draw_panel(draw, layout, timeline, step)
    return image


def _draw_board(draw: ImageDraw.ImageDraw, layout: Layout, timeline: Timeline, step: int) -> None:
    dim, cell, margin = layout.dim, layout.cell, layout.margin
    owners = timeline.owners(step).ravel()
    for tile, owner in enumerate(owners):
        draw.rectangle(layout.cell_box(tile), fill=COLOURS[owner] if owner >= 0 else EMPTY, outline=GRID)
    # The piece of the last tile (finished or in progress) is outlined.
    for tile in _last_piece(timeline, step):
        x0, y0, x1, y1 = layout.cell_box(tile)
        draw.rectangle((x0 + 1, y0 + 1, x1 - 1, y1 - 1), outline=INK, width=2)
    # Each player's corner: a triangle of its colour just outside the board.
    far = margin + layout.board_size
    for player, (x, y, dx, dy) in enumerate(
        ((margin, margin, -1, -1), (far, margin, 1, -1), (far, far, 1, 1), (margin, far, -1, 1))
    ):
        size = margin - 6
        draw.polygon([(x, y), (x + dx * size, y), (x, y + dy * size)], fill=COLOURS[player])
    font = _font(max(9, min(13, cell - 4)))
    step_labels = 1 if dim <= 26 else 2
    for index in range(0, dim, step_labels):
        x = margin + index * cell + cell // 2
        draw.text((x, far + margin // 2), column_name(index), fill=INK, font=font, anchor="mm")
        draw.text((x, margin // 2), column_name(index), fill=INK, font=font, anchor="mm")
        y = margin + index * cell + cell // 2
        draw.text((margin // 2, y), str(dim - index), fill=INK, font=font, anchor="mm")
        draw.text((far + margin // 2, y), str(dim - index), fill=INK, font=font, anchor="mm")


def _last_piece(timeline: Timeline, step: int) -> list:
    """The tiles of the piece that the tile before ``step`` belongs to."""
    before = bisect_left(timeline.piece_ends, step)
    start = timeline.piece_ends[before - 1] if before > 0 else 0
    return [tile for _, tile in timeline.moves[start:step]]


def _draw_visits(draw: ImageDraw.ImageDraw, layout: Layout, policy: list) -> None:
    if not policy:
        return
    top = max(fraction for _, fraction in policy) or 1.0
    font = _font(max(8, layout.cell // 3))
    for tile, fraction in policy:
        if fraction <= 0:
            continue
        x0, y0, x1, y1 = layout.cell_box(tile)
        draw.rectangle((x0 + 1, y0 + 1, x1 - 1, y1 - 1), fill=HEAT + (int(40 + 180 * fraction / top),))
        if layout.cell >= 22:
            draw.text(((x0 + x1) // 2, (y0 + y1) // 2), f"{100 * fraction:.0f}", fill="white", font=font, anchor="mm")


def _draw_panel(draw: ImageDraw.ImageDraw, layout: Layout, timeline: Timeline, step: int) -> None:
    position = timeline.positions[step]
    x = 2 * layout.margin + layout.board_size + 8
    y = layout.margin
    total = len(timeline.moves)
    status = "game over" if position.player is None else f"{player_label(position.player)} to move"
    draw.text((x, y), f"tile {step} of {total} \u00b7 {status}", fill=INK, font=_font(12))
    if step > 0:
        player, tile = timeline.moves[step - 1]
        draw.text((x, y + 16), f"last tile {cell_name(timeline.dim, tile)} by player {player + 1}", fill=INK, font=_font(11))
    y += 34
    payoffs = timeline.payoffs if step == total and position.player is None else None
    for player in range(PLAYERS):
        _draw_player(draw, x, y, timeline, position, player, payoffs)
        y += BLOCK_HEIGHT


def _draw_player(draw, x: int, y: int, timeline: Timeline, position, player: int, payoffs: Optional[list]) -> None:
    colour = COLOURS[player]
    draw.rectangle((x, y + 2, x + 14, y + 16), fill=colour)
    marker = " \u25c0 to move" if position.player == player else ""
    draw.text((x + 20, y), f"{player_label(player)}{marker}", fill=INK, font=_font(13))
    left = position.pieces_left[player]
    cells_left = sum(len(timeline.shapes[i]) for i in left)
    line = f"score {position.scores[player]} \u00b7 {CORNER_NAMES[player]} corner"
    if payoffs is not None:
        line += f" \u00b7 payoff {payoffs[player]:.3g}"
    draw.text((x + 20, y + 17), line, fill=INK, font=_font(11))
    draw.text((x + 20, y + 31), f"{len(left)} pieces, {cells_left} cells left", fill=INK, font=_font(11))
    # The pieces still held, drawn small, row after row.
    px, py, row_height = x + 20, y + 46, 0
    for index in left:
        shape = timeline.shapes[index]
        width = (max(c for _, c in shape) + 1) * MINI_CELL
        height = (max(r for r, _ in shape) + 1) * MINI_CELL
        if px + width > x + PANEL_WIDTH - 12:
            px, py, row_height = x + 20, py + row_height + 5, 0
        for r, c in shape:
            cx, cy = px + c * MINI_CELL, py + r * MINI_CELL
            draw.rectangle((cx, cy, cx + MINI_CELL - 1, cy + MINI_CELL - 1), fill=colour)
        px += width + 6
        row_height = max(row_height, height)


def save_png(timeline: Timeline, step: int, path: Path, visits: bool = False) -> None:
    draw_position(timeline, step, visits).save(path, format="PNG")


def save_gif(timeline: Timeline, path: Path) -> int:
    """An animated GIF: the empty board, then one frame per completed piece (and one for a
    piece left unfinished). Returns the number of frames."""
    steps = [0] + list(timeline.piece_ends)
    if steps[-1] != len(timeline.moves):
        steps.append(len(timeline.moves))
    frames = [draw_position(timeline, step) for step in steps]
    durations = [GIF_FRAME_MS] * (len(frames) - 1) + [GIF_LAST_FRAME_MS]
    frames[0].save(path, format="GIF", save_all=True, append_images=frames[1:], duration=durations, loop=0)
    return len(frames)
