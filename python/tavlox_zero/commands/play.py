"""`tavlox-zero play`: a local web app in which a person plays one seat against the network.

The server keeps every game and checks every request with the rules engine; the page only
draws what the server sends. Games are kept per session id (stored by the page), so that a
reload or a reopened tab resumes the game. JSON API (every error is a 4xx with {"error"}):

    POST /api/new      {"session"?}           a new game (replacing the session's)
    GET  /api/state?session=ID                 the game as the page draws it
    POST /api/tile     {"session", "tile"}     the person chooses a tile
    POST /api/undo     {"session"}             takes back the last tile of the unfinished piece
    POST /api/advance  {"session"}             the network plays one piece of a seat it holds

Only this machine's pages reach it: a request must name the server's own loopback address
in `Host` (no DNS rebinding), and a POST must come from no other `Origin` and carry
`Content-Type: application/json` (which no page of another site can send without asking
first), so a site the person visits changes nothing. Every finished game is recorded in a
file of its own.
"""

from __future__ import annotations

import argparse
import json
import re
import secrets
import sys
import threading
import time
from collections import OrderedDict
from dataclasses import dataclass, field
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Callable, Optional
from urllib.parse import parse_qs, urlparse

from ..view import web
from ..base.atomic import write_json_atomic
from ..base.errors import CommandFailed, UsageError, brief, readable_file, writable_directory
from ..engine.engine_config import SCHEMA as ENGINE
from ..engine.rules import Game
from ..nets.inference import BACKENDS
from ..view.timeline import in_piece, record_dict, replay

HELP = "play one seat against the network in the browser (local web app)"
MAX_BODY_BYTES = 4096
MAX_SESSIONS = 64
# A connection that sends nothing for this long is dropped, and at most MAX_CONNECTIONS are
# served at once (further ones wait for a free slot, as long as a read may take).
REQUEST_TIMEOUT_SECONDS = 10
MAX_CONNECTIONS = 32
LOOPBACK_NAMES = ("127.0.0.1", "localhost")


class RequestError(Exception):
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


def make_handler(app: PlayApp, page: str):
    page_bytes = page.encode("utf-8")
    # The page's own policy (its <meta> tag), sent as a header too, where it can also forbid framing.
    meta = re.search(r'http-equiv="Content-Security-Policy" content="([^"]*)"', page)
    page_policy = (f"{meta.group(1)}; " if meta else "default-src 'none'; ") + "frame-ancestors 'none'"

    class Handler(BaseHTTPRequestHandler):
        server_version = "tavlox-play"
        timeout = REQUEST_TIMEOUT_SECONDS

        def log_message(self, format: str, *args) -> None:  # noqa: A002 - the base class's name
            pass

        def _refused(self, changes_state: bool) -> bool:
            """Answers and returns True when the request comes from outside this server's own pages."""
            port = self.server.server_address[1]
            hosts = {f"{name}:{port}" for name in LOOPBACK_NAMES} | (set(LOOPBACK_NAMES) if port == 80 else set())
            named = self.headers.get_all("Host") or []
            if len(named) != 1 or named[0].strip().lower() not in hosts:
                self._error(HTTPStatus.FORBIDDEN, f"this server answers only to http://127.0.0.1:{port}/")
                return True
            if not changes_state:
                return False
            origins = self.headers.get_all("Origin") or []
            if len(origins) > 1 or (origins and origins[0].strip().lower() not in {f"http://{h}" for h in hosts}):
                self._error(HTTPStatus.FORBIDDEN, "requests from other sites are refused")
                return True
            content_type = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
            if content_type != "application/json":
                self._error(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "the body must be JSON (Content-Type: application/json)")
                return True
            return False

        def do_GET(self) -> None:  # noqa: N802 - the base class's name
            if self._refused(changes_state=False):
                return
            url = urlparse(self.path)
            if url.path in ("/", "/index.html"):
                self._send(HTTPStatus.OK, page_bytes, "text/html; charset=utf-8")
            elif url.path == "/api/state":
                session = parse_qs(url.query).get("session", [None])[0]
                self._answer(lambda: app.state(session))
            else:
                self._error(HTTPStatus.NOT_FOUND, f"no page {url.path}")

        def do_POST(self) -> None:  # noqa: N802 - the base class's name
            actions = {
                "/api/new": lambda body: app.new(body.get("session")),
                "/api/tile": lambda body: app.tile(body.get("session"), body.get("tile")),
                "/api/undo": lambda body: app.undo(body.get("session")),
                "/api/advance": lambda body: app.advance(body.get("session")),
            }
            if self._refused(changes_state=True):
                return
            action = actions.get(urlparse(self.path).path)
            if action is None:
                self._error(HTTPStatus.NOT_FOUND, f"no action {self.path}")
                return
            try:
                body = self._body()
            except RequestError as error:
                self._error(error.status, str(error))
                return
            self._answer(lambda: action(body))

        def _body(self) -> dict:
            try:
                length = int(self.headers.get("Content-Length", "0"))
            except ValueError:
                raise RequestError(HTTPStatus.BAD_REQUEST, "bad Content-Length") from None
            if length > MAX_BODY_BYTES:
                raise RequestError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, f"requests are at most {MAX_BODY_BYTES} bytes")
            if length < 0:
                raise RequestError(HTTPStatus.BAD_REQUEST, "bad Content-Length")
            raw = self.rfile.read(length) if length else b"{}"
            try:
                body = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, json.JSONDecodeError, RecursionError):
                raise RequestError(HTTPStatus.BAD_REQUEST, "the body must be a JSON object") from None
            if not isinstance(body, dict):
                raise RequestError(HTTPStatus.BAD_REQUEST, "the body must be a JSON object")
            return body

        def _answer(self, action: Callable[[], dict]) -> None:
            try:
                result = action()
            except RequestError as error:
                self._error(error.status, str(error))
                return
            except Exception as error:  # noqa: BLE001 - a fault of this server still gets an answer
                self._error(HTTPStatus.INTERNAL_SERVER_ERROR, f"{type(error).__name__}: {brief(error)}")
                return
            self._send(HTTPStatus.OK, json.dumps(result).encode("utf-8"), "application/json")

        def _error(self, status: HTTPStatus, message: str) -> None:
            self._send(status, json.dumps({"error": message}).encode("utf-8"), "application/json")

        def _send(self, status: HTTPStatus, data: bytes, content_type: str) -> None:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Cache-Control", "no-store")
            self.send_header("X-Content-Type-Options", "nosniff")
            self.send_header("X-Frame-Options", "DENY")
            self.send_header("Content-Security-Policy",
                             page_policy if data is page_bytes else "default-src 'none'; frame-ancestors 'none'")
            self.end_headers()
            self.wfile.write(data)

    return Handler


class PlayServer(ThreadingHTTPServer):
    """A thread per connection, at most MAX_CONNECTIONS at once."""

    daemon_threads = True

    def __init__(self, address: tuple, handler: type) -> None:
        super().__init__(address, handler)
        self._slots = threading.BoundedSemaphore(MAX_CONNECTIONS)

    def process_request(self, request, client_address) -> None:
        if not self._slots.acquire(timeout=REQUEST_TIMEOUT_SECONDS):
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request, client_address) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()


def make_server(app: PlayApp, port: int = 0) -> ThreadingHTTPServer:
    """The server on 127.0.0.1 (``port`` 0: any free port); serve_forever() runs it."""
    return PlayServer(("127.0.0.1", port), make_handler(app, web.page("play.html")))


def network_piece(player) -> Callable[[Game], list]:
    """choose_piece for a NetworkPlayer: its pieces with each tile's root visit fractions."""
    return lambda game: [choice.fractions() for choice in player.play_piece(game)]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("checkpoint", type=Path, help="the network to play against")
    parser.add_argument("--sims", type=int, default=ENGINE["sims_per_move"].default,
                        help="search simulations per network tile (default %(default)s)")
    parser.add_argument("--backend", choices=BACKENDS, default="auto",
                        help="what runs the network: auto (the fastest here that agrees with fp32 PyTorch), "
                             "torch, torch-bf16, onnxruntime or openvino (default %(default)s)")
    parser.add_argument("--seat", type=int, choices=(1, 2, 3, 4), default=1,
                        help="your seat: 1 starts top-left, then clockwise (default %(default)s)")
    parser.add_argument("--port", type=int, default=8765, help="port on 127.0.0.1 (default %(default)s; 0 for any)")
    parser.add_argument("--dim", type=int, help="board side (default: the checkpoint's)")
    parser.add_argument("--record-dir", type=Path, help="write every finished game here (for `tavlox-zero show`)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the search's random draws")


def run(args: argparse.Namespace) -> int:
    from ..players.network_player import load_player

    readable_file(args.checkpoint, "checkpoint")
    if args.record_dir is not None:
        writable_directory(args.record_dir, "--record-dir")
        try:
            args.record_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise UsageError(f"--record-dir {args.record_dir}: {error.strerror or error}") from error
    try:
        player, trained_dim = load_player(args.checkpoint, args.sims, args.seed, args.backend)
        Game(args.dim or trained_dim)
    except (OSError, ValueError, OverflowError) as error:
        raise CommandFailed(str(error)) from error
    app = PlayApp(network_piece(player), args.dim or trained_dim, args.seat - 1, args.record_dir)
    try:
        server = make_server(app, args.port)
    except OSError as error:
        raise UsageError(f"--port {args.port}: cannot listen on 127.0.0.1 ({error.strerror or error})") from error
    host, port = server.server_address[:2]
    print(f"playing seat {args.seat} on a {app.dim}x{app.dim} board: open http://{host}:{port}/  (Ctrl-C stops)",
          flush=True)
    with server:
        server.serve_forever()
    return 0
