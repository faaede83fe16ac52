"""The games of the play app: one per session, each request checked by the rules engine,
the other seats played by the network, and every finished game recorded in a file of its own.

Games are kept per session id (the page stores it), so that a reload or a reopened tab
resumes the game; the oldest of more than MAX_SESSIONS sessions is forgotten. A refused
request raises RequestError with the HTTP status it is answered with.
"""

from __future__ import annotations

import secrets
import sys
import threading
import time
from collections import OrderedDict
from dataclasses import dataclass, field
from http import HTTPStatus
from pathlib import Path
from typing import Callable, Optional

from ..base.atomic import write_json_atomic
from ..base.errors import brief
from ..engine.rules import Game
from .timeline import in_piece, record_dict, replay

MAX_SESSIONS = 64


class RequestError(Exception):
    """A refused request: the HTTP status it is answered with, and the reason the page shows."""

    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


@dataclass
class Session:
    game: Game
    seat: int
    policies: list = field(default_factory=list)  # per position: the network's visit fractions
    lock: threading.Lock = field(default_factory=threading.Lock)
    recorded: bool = False
    # The file name of this game's record: "new game" keeps the session, never the record.
    record_name: str = field(default_factory=lambda: f"game-{time.strftime('%Y%m%d-%H%M%S')}-{secrets.token_hex(6)}"
                                                     ".json")


class PlayApp:
    """The games of all sessions and the network that plays the other seats.

    ``choose_piece(game)`` plays one piece for the player to move on ``game`` and returns the
    root visit fractions of each tile it chose.
    """

    def __init__(self, choose_piece: Callable[[Game], list], dim: int, seat: int,
                 record_dir: Optional[Path] = None) -> None:
        self.choose_piece = choose_piece
        self.dim = dim
        self.seat = seat
        self.record_dir = record_dir
        self.sessions: "OrderedDict[str, Session]" = OrderedDict()
        self.sessions_lock = threading.Lock()
        # One search at a time: the network is shared by every session.
        self.network_lock = threading.Lock()

    def new(self, session_id: Optional[str]) -> dict:
        if not (isinstance(session_id, str) and 8 <= len(session_id) <= 64 and session_id.isalnum()):
            session_id = secrets.token_hex(16)
        with self.sessions_lock:
            self.sessions[session_id] = Session(Game(self.dim), self.seat)
            self.sessions.move_to_end(session_id)
            while len(self.sessions) > MAX_SESSIONS:
                self.sessions.popitem(last=False)
        return self.state(session_id)

    def session(self, session_id: object) -> Session:
        with self.sessions_lock:
            session = self.sessions.get(session_id) if isinstance(session_id, str) else None
        if session is None:
            raise RequestError(HTTPStatus.NOT_FOUND, "no such game: start a new one")
        return session

    def state(self, session_id: str) -> dict:
        session = self.session(session_id)
        with session.lock:
            return self._describe(session_id, session)

    def tile(self, session_id: str, tile: object) -> dict:
        session = self.session(session_id)
        with session.lock:
            game = session.game
            self._require_person(game, session.seat)
            if not isinstance(tile, int) or isinstance(tile, bool):
                raise RequestError(HTTPStatus.BAD_REQUEST, "tile must be an integer")
            try:
                game.apply(tile)
            except (ValueError, OverflowError) as error:
                raise RequestError(HTTPStatus.BAD_REQUEST, f"illegal tile {tile}: {error}") from None
            session.policies.append([])
            self._record_if_over(session_id, session)
            return self._describe(session_id, session)

    def undo(self, session_id: str) -> dict:
        session = self.session(session_id)
        with session.lock:
            game = session.game
            self._require_person(game, session.seat)
            if not in_piece(game):
                raise RequestError(HTTPStatus.CONFLICT, "nothing to take back: no piece is in progress")
            # The game is rebuilt from its history without the last tile.
            rebuilt = Game(game.dim)
            for _, tile in game.history[:-1]:
                rebuilt.apply(tile)
            session.game = rebuilt
            session.policies.pop()
            return self._describe(session_id, session)

    def advance(self, session_id: str) -> dict:
        session = self.session(session_id)
        with session.lock:
            game = session.game
            if game.is_terminal():
                raise RequestError(HTTPStatus.CONFLICT, "the game is over")
            if game.player == session.seat:
                raise RequestError(HTTPStatus.CONFLICT, "it is your turn, not the network's")
            # The network plays on a copy: a failure halfway through a piece changes nothing.
            trial = game.copy()
            try:
                with self.network_lock:
                    policies = self.choose_piece(trial)
            except ValueError as error:
                raise RequestError(HTTPStatus.CONFLICT, f"the network cannot play: {brief(error)}") from None
            session.game = trial
            session.policies.extend(policies)
            self._record_if_over(session_id, session)
            return self._describe(session_id, session)

    @staticmethod
    def _require_person(game: Game, seat: int) -> None:
        if game.is_terminal():
            raise RequestError(HTTPStatus.CONFLICT, "the game is over")
        if game.player != seat:
            raise RequestError(HTTPStatus.CONFLICT, f"it is player {game.player + 1}'s turn, not yours")

    def _record_if_over(self, session_id: str, session: Session) -> None:
        if self.record_dir is None or session.recorded or not session.game.is_terminal():
            return
        path = self.record_dir / session.record_name
        try:
            write_json_atomic(path, record_dict(session.game, session.policies, {"seat": session.seat}))
        except OSError as error:
            print(f"tavlox-zero play: {path}: the game's record could not be written ({error.strerror or error})",
                  file=sys.stderr, flush=True)
            return
        session.recorded = True

    @staticmethod
    def _describe(session_id: str, session: Session) -> dict:
        game = session.game
        timeline = replay(game.dim, game.history)
        position = timeline.final
        over = game.is_terminal()
        piece_start = timeline.piece_ends[-1] if timeline.piece_ends else 0
        current = [tile for _, tile in game.history[piece_start:]]
        last_start = timeline.piece_ends[-2] if len(timeline.piece_ends) > 1 else 0
        last_piece = current or [tile for _, tile in game.history[last_start:piece_start]]
        return {
            "session": session_id,
            "dim": game.dim,
            "seat": session.seat,
            "player": None if over else game.player,
            "owners": timeline.owners(len(game.history)).ravel().tolist(),
            "legal": game.legal_tiles() if not over and game.player == session.seat else [],
            "chosen": current,
            "lastPiece": last_piece,
            "scores": position.scores,
            "piecesLeft": position.pieces_left,
            "shapes": [list(map(list, shape)) for shape in timeline.shapes],
            "tiles": len(game.history),
            "moves": [list(move) for move in game.history],
            "over": over,
            "payoffs": game.payoff() if over else None,
        }


def network_piece(player) -> Callable[[Game], list]:
    """choose_piece for a NetworkPlayer: its pieces with each tile's root visit fractions."""
    return lambda game: [choice.fractions() for choice in player.play_piece(game)]
