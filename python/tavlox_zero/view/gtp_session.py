"""A session of the text protocol in the style of the Go Text Protocol: one game, and a player
that generates moves, answering one command line at a time.

Colours are 1 to 4 in turn order. A move is a whole piece: its cells separated by commas, in
board coordinates (columns a, b, ... from the left, rows 1, 2, ... from the bottom), or
``pass`` for a player that can no longer move. Every reply is ``= result`` or ``? reason``
followed by an empty line, with the command's id when it had one.
"""

from __future__ import annotations

from typing import Callable, Optional, TextIO

from .. import __version__
from ..base.errors import brief
from ..engine.constants import PLAYERS
from ..engine.rules import Game
from .timeline import cell_name, column_name, in_piece, parse_cell

PROTOCOL_VERSION = "2"


class CommandError(Exception):
    """A refused command; the message is the reply's reason."""


class GtpSession:
    """The protocol's state: one game, and a player that generates moves."""

    def __init__(self, choose_piece: Callable[[Game], list], dim: int) -> None:
        """``choose_piece(game)`` plays a whole piece on the copy it is given and returns its tiles."""
        self.choose_piece = choose_piece
        self.game = Game(dim)
        self.done = False
        self.commands = {
            "protocol_version": lambda args: PROTOCOL_VERSION,
            "name": lambda args: "tavlox-zero",
            "version": self.version,
            "known_command": lambda args: "true" if args and args[0] in self.commands else "false",
            "list_commands": lambda args: "\n".join(self.commands),
            "clear_board": self.clear_board,
            "boardsize": self.boardsize,
            "play": self.play,
            "genmove": self.genmove,
            "showboard": self.showboard,
            "final_score": self.final_score,
            "quit": self.quit,
        }

    @staticmethod
    def version(args: list) -> str:
        return __version__

    def quit(self, args: list) -> str:
        self.done = True
        return ""

    def clear_board(self, args: list) -> str:
        self.game = Game(self.game.dim)
        return ""

    def boardsize(self, args: list) -> str:
        if len(args) != 1 or not args[0].isdigit():
            raise CommandError("boardsize needs one number")
        try:
            self.game = Game(int(args[0]))
        except (ValueError, OverflowError) as error:
            raise CommandError(f"unacceptable size: {error}") from None
        return ""

    def _colour(self, args: list, count: int) -> int:
        if len(args) != count:
            raise CommandError(f"expected {count} argument{'s' if count > 1 else ''}")
        if args[0] not in ("1", "2", "3", "4"):
            raise CommandError(f"invalid color '{args[0]}': colors are 1 to 4 in turn order")
        return int(args[0]) - 1

    def _check_turn(self, player: int) -> bool:
        """True when ``player`` is to move; False when it can only pass."""
        if self.game.is_terminal() or self.game.finished[player]:
            return False
        if self.game.player != player:
            raise CommandError(f"color {self.game.player + 1} is to move, not {player + 1}")
        return True

    def play(self, args: list) -> str:
        player = self._colour(args, 2)
        move = args[1].lower()
        if not self._check_turn(player):
            if move != "pass":
                raise CommandError(f"color {player + 1} can no longer move: only pass")
            return ""
        if move == "pass":
            raise CommandError(f"color {player + 1} still has a legal move: pass is illegal")
        self.game = self._placed(move)
        return ""

    def _placed(self, move: str) -> Game:
        """The game after the piece ``move``, or CommandError (the game is left unchanged)."""
        try:
            tiles = [parse_cell(self.game.dim, cell) for cell in move.split(",")]
        except ValueError as error:
            raise CommandError(str(error)) from None
        if len(set(tiles)) != len(tiles):
            raise CommandError("a cell is named twice")
        trial = self.game.copy()
        for count, tile in enumerate(sorted(tiles), start=1):
            try:
                trial.apply(tile)
            except ValueError:
                raise CommandError(f"illegal move: no legal piece covers {move}") from None
            if in_piece(trial) != (count < len(tiles)):
                raise CommandError(f"illegal move: {move} is not a whole piece the rules allow here")
        return trial

    def genmove(self, args: list) -> str:
        player = self._colour(args, 1)
        if not self._check_turn(player):
            return "pass"
        # The player works on a copy; the piece it found goes through the same checks as `play`.
        try:
            tiles = self.choose_piece(self.game.copy())
        except ValueError as error:
            raise CommandError(f"no move generated: {brief(error)}") from None
        move = ",".join(cell_name(self.game.dim, tile) for tile in tiles)
        self.game = self._placed(move)
        return move

    def showboard(self, args: list) -> str:
        dim = self.game.dim
        owners = ["."] * (dim * dim)
        for player, tile in self.game.history:
            owners[tile] = str(player + 1)
        width = len(str(dim))
        columns = [column_name(c).rjust(2) for c in range(dim)]
        lines = [" " * width + " " + "".join(columns)]
        for row in range(dim):
            cells = "".join(owner.rjust(2) for owner in owners[row * dim:(row + 1) * dim])
            lines.append(f"{dim - row:>{width}} {cells}")
        mover = "game over" if self.game.is_terminal() else f"color {self.game.player + 1} to move"
        lines.append(f"{mover}; scores {self.final_score([])}")
        return "\n" + "\n".join(lines)

    def final_score(self, args: list) -> str:
        """The rules engine's scores, as ``1:S1 2:S2 3:S3 4:S4``."""
        return " ".join(f"{p + 1}:{s}" for p, s in zip(range(PLAYERS), self.game.scores()))

    def handle(self, line: str) -> Optional[str]:
        """The reply to one input line (None for a line without a command)."""
        line = "".join(c for c in line.split("#", 1)[0] if c == "\t" or c >= " ").replace("\t", " ").strip()
        if not line:
            return None
        words = line.split()
        ident = ""
        if words[0].isdigit():
            ident = words.pop(0)
            if not words:
                return f"?{ident} no command\n\n"
        name, args = words[0], words[1:]
        command = self.commands.get(name)
        if command is None:
            return f"?{ident} unknown command\n\n"
        try:
            result = command(args)
        except CommandError as error:
            return f"?{ident} {error}\n\n"
        except Exception as error:  # noqa: BLE001 - every line gets an answer and the session goes on
            return f"?{ident} {type(error).__name__}: {brief(error)}\n\n"
        return f"={ident} {result}".rstrip(" ") + "\n\n"


def serve(session: GtpSession, source: TextIO, sink: TextIO) -> None:
    """Answers commands from ``source`` until quit or the end of the input."""
    for line in source:
        reply = session.handle(line)
        if reply is None:
            continue
        sink.write(reply)
        sink.flush()
        if session.done:
            return
