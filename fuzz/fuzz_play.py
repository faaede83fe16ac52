"""Fuzzes the play app's HTTP API: requests of any method, path, headers and body, in turn
on one app, handed to its request handler as a connection's bytes.

    python fuzz/fuzz_play.py [corpus folder] -max_total_time=SECONDS

Every request must get one well-formed HTTP answer (2xx, or 4xx with a JSON error), and a
request that does not come from the server's own page (a foreign Host or Origin, or a body
that is not JSON) must leave every game as it was. An exception out of the handler, a 5xx
or a game changed by a refused request stops the run.
"""

import io
import json
import sys

import atheris

with atheris.instrument_imports():
    from tavlox_zero.view.play_app import PlayApp
    from tavlox_zero.view.play_server import make_handler

from tavlox_zero.players.network_player import NetworkFailed
from tavlox_zero.view.timeline import in_piece

PORT = 8765
DIM = 5
PATHS = ["/", "/index.html", "/api/state", "/api/new", "/api/tile", "/api/undo", "/api/advance", "/nothing"]
HOSTS = [f"127.0.0.1:{PORT}", f"localhost:{PORT}", "evil.example", "127.0.0.1:1", "127.0.0.1", ""]
ORIGINS = [None, f"http://127.0.0.1:{PORT}", "http://evil.example", "null"]
TYPES = ["application/json", "application/json; charset=utf-8", "text/plain", None]


class Network:
    """The first legal tile until the piece is complete; fails halfway when told to."""

    fail = False

    def __call__(self, game):
        tiles = []
        while not game.is_terminal():
            tiles.append(game.legal_tiles()[0])
            game.apply(tiles[-1])
            if self.fail:
                raise NetworkFailed("the network yielded NaN or infinite policy logits for this position")
            if not in_piece(game):
                break
        return [[(tile, 1.0)] for tile in tiles]


class Connection:
    """A socket as the handler uses it: the request's bytes to read, the answer collected."""

    def __init__(self, data):
        self.input, self.output = io.BytesIO(data), bytearray()

    def settimeout(self, seconds):
        pass

    def makefile(self, mode, *args, **kwargs):
        return self.input

    def sendall(self, data):
        self.output += data

    def setsockopt(self, *args):
        pass


class Server:
    server_address = ("127.0.0.1", PORT)


NETWORK = Network()
APP = PlayApp(NETWORK, DIM, seat=1)
HANDLER = make_handler(APP, "<!DOCTYPE html><title>play</title>")
SESSIONS = ["a" * 16, "b" * 16]


def games():
    return {sid: (list(s.game.history), len(s.policies)) for sid, s in APP.sessions.items()}


def body(fdp):
    if fdp.ConsumeBool():
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300))
    fields = {}
    if fdp.ConsumeIntInRange(0, 7):
        fields["session"] = SESSIONS[fdp.ConsumeIntInRange(0, 1)] if fdp.ConsumeIntInRange(0, 5) else \
            fdp.ConsumeUnicode(20)
    if fdp.ConsumeBool():
        fields["tile"] = fdp.ConsumeIntInRange(-2, DIM * DIM + 1) if fdp.ConsumeIntInRange(0, 5) else \
            [fdp.ConsumeInt(8), fdp.ConsumeUnicode(4), fdp.ConsumeFloat(), None, True][fdp.ConsumeIntInRange(0, 4)]
    return json.dumps(fields).encode()


def request(fdp):
    """(the request's bytes, whether it comes from the server's own page)."""
    method = [b"GET", b"POST", b"PUT", b"OPTIONS", fdp.ConsumeBytes(6)][fdp.ConsumeIntInRange(0, 4)]
    path = PATHS[fdp.ConsumeIntInRange(0, len(PATHS) - 1)]
    if path == "/api/state":
        path += "?session=" + (SESSIONS[fdp.ConsumeIntInRange(0, 1)] if fdp.ConsumeBool() else fdp.ConsumeUnicode(8))
    host, origin = HOSTS[fdp.ConsumeIntInRange(0, len(HOSTS) - 1)], ORIGINS[fdp.ConsumeIntInRange(0, len(ORIGINS) - 1)]
    content_type = TYPES[fdp.ConsumeIntInRange(0, len(TYPES) - 1)]
    data = body(fdp)
    length = str(len(data)) if fdp.ConsumeIntInRange(0, 7) else fdp.ConsumeUnicode(6)
    lines = [method + b" " + path.encode("utf-8", "replace") + b" HTTP/1.1", b"Host: " + host.encode()]
    if origin:
        lines.append(b"Origin: " + origin.encode())
    if content_type:
        lines.append(b"Content-Type: " + content_type.encode())
    lines.append(b"Content-Length: " + length.encode("utf-8", "replace"))
    if fdp.ConsumeIntInRange(0, 9) == 0:
        lines.append(fdp.ConsumeBytes(40))
    own = host in HOSTS[:2] and origin in ORIGINS[:2] and content_type in TYPES[:2]
    return b"\r\n".join(lines) + b"\r\n\r\n" + data, own


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 15) == 0:
        APP.sessions.clear()
    NETWORK.fail = fdp.ConsumeIntInRange(0, 7) == 0
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        raw, own = request(fdp)
        before = games()
        connection = Connection(raw)
        HANDLER(connection, ("127.0.0.1", 50000), Server())
        answer = bytes(connection.output)
        if not answer.startswith(b"HTTP/"):
            continue  # nothing read, or an HTTP/0.9 request line, answered without a status line
        status = int(answer.split(b" ", 2)[1])
        if status >= 500 and status != 501:  # 501: a method the server does not implement
            raise AssertionError(f"status {status} for {raw[:200]!r}: {answer[:300]!r}")
        if not own and games() != before:
            raise AssertionError(f"a refused request changed the games: {raw[:200]!r}")


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
