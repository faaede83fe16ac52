"""The play app's HTTP server on 127.0.0.1: the page, and a JSON API over `PlayApp` (every
error is a 4xx or 5xx with {"error"}):

    POST /api/new      {"session"?}           a new game (replacing the session's)
    GET  /api/state?session=ID                 the game as the page draws it
    POST /api/tile     {"session", "tile"}     the person chooses a tile
    POST /api/undo     {"session"}             takes back the last tile of the unfinished piece
    POST /api/advance  {"session"}             the network plays one piece of a seat it holds

Only this machine's pages reach it: a request must name the server's own loopback address
in `Host` (no DNS rebinding), and a POST must come from no other `Origin` and carry
`Content-Type: application/json` (which no page of another site can send without asking
first), so a site the person visits changes nothing.
"""

from __future__ import annotations

import json
import re
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Callable
from urllib.parse import parse_qs, urlparse

from ..base.errors import brief
from . import web
from .play_app import PlayApp, RequestError

MAX_BODY_BYTES = 4096
# A connection that sends nothing for this long is dropped, and at most MAX_CONNECTIONS are
# served at once (further ones wait for a free slot, as long as a read may take).
REQUEST_TIMEOUT_SECONDS = 10
MAX_CONNECTIONS = 32
LOOPBACK_NAMES = ("127.0.0.1", "localhost")


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
