"""Hostile inputs, surface by surface: requests from other sites and malformed requests to the
play app, lines the text-protocol engine must answer, crafted shards, checkpoints and game
records. Each is refused in one line naming what is wrong (or an HTTP 4xx), before it costs
memory, and changes nothing."""

from __future__ import annotations

import http.client
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time

import pytest

torch = pytest.importorskip("torch")
np = pytest.importorskip("numpy")

from tavlox_zero import cli  # noqa: E402
from tavlox_zero.nets import network  # noqa: E402
from tavlox_zero.data.dataset import arrays_checksum, read_shard, write_shard  # noqa: E402
from tavlox_zero.players.network_player import NetworkFailed  # noqa: E402
from tavlox_zero.engine.rules import Game  # noqa: E402
from tavlox_zero.view import play_server  # noqa: E402
from tavlox_zero.view.play_app import PlayApp  # noqa: E402
from tavlox_zero.view.timeline import in_piece, load_record, record_dict  # noqa: E402

DIM = 5
REPLY_SECONDS = 60


def first_legal_piece(game):
    """A stand-in network: the first legal tile until the piece is complete."""
    tiles = []
    while not game.is_terminal():
        tiles.append(game.legal_tiles()[0])
        game.apply(tiles[-1])
        if not in_piece(game):
            break
    return [[(tile, 1.0)] for tile in tiles]


def nan_halfway(game):
    """A network that places one tile, then yields NaN."""
    game.apply(game.legal_tiles()[0])
    raise NetworkFailed("the network yielded NaN or infinite policy logits for this position")


def random_game(dim, seed=0):
    rng, game, moves, policies = np.random.default_rng(seed), Game(dim), [], []
    while not game.is_terminal():
        legal = game.legal_tiles()
        tile = int(rng.choice(legal))
        moves.append((game.player, tile))
        policies.append([(t, 1 / len(legal)) for t in legal])
        game.apply(tile)
    return moves, policies, game.payoff()


def one_line_naming(message, name):
    text = str(message)
    assert "\n" not in text.strip() and name in text and len(text) < 400, f"not one short line naming {name}: {text!r}"
    return text


# --- The play app -------------------------------------------------------------------------


@pytest.fixture
def app_server(tmp_path, monkeypatch):
    """A play server (seat 1) whose network is `app.choose_piece`, recording into tmp_path/records."""
    monkeypatch.setattr(play_server, "REQUEST_TIMEOUT_SECONDS", 1)
    app = PlayApp(first_legal_piece, DIM, seat=0, record_dir=tmp_path / "records")
    server = play_server.make_server(app)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield app, server.server_address[1]
    server.shutdown()
    server.server_close()


def request(port, method, path, body=b"", headers=None):
    """(status, parsed JSON or raw body, headers) of one request with exactly the headers given."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=REPLY_SECONDS)
    connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
    sent = {"Host": f"127.0.0.1:{port}", "Content-Type": "application/json", "Content-Length": str(len(body)),
            **(headers or {})}
    for name, value in sent.items():
        if value is not None:
            connection.putheader(name, value)
    connection.endheaders(body)
    response = connection.getresponse()
    data = response.read()
    connection.close()
    is_json = response.getheader("Content-Type") == "application/json"
    return response.status, json.loads(data) if is_json else data, response


FOREIGN = {
    "the server's own page": ({}, 200),
    "another host name (DNS rebinding)": ({"Host": "evil.example:{port}"}, 403),
    "no host": ({"Host": None}, 403),
    "another port": ({"Host": "127.0.0.1:1"}, 403),
    "another site's page": ({"Origin": "http://evil.example"}, 403),
    "a sandboxed page": ({"Origin": "null"}, 403),
    "a plain-text form": ({"Content-Type": "text/plain"}, 415),
    "an HTML form": ({"Content-Type": "application/x-www-form-urlencoded"}, 415),
}


@pytest.mark.parametrize("case", FOREIGN)
def test_play_app_changes_nothing_for_other_sites(app_server, case):
    app, port = app_server
    headers, status = FOREIGN[case]
    headers = {k: v.format(port=port) if v else v for k, v in headers.items()}
    answer, body, _ = request(port, "POST", "/api/new", b'{"session": "abcdefgh12345678"}', headers)
    assert answer == status, f"{case}: {answer} {body}"
    assert list(app.sessions) == (["abcdefgh12345678"] if status == 200 else []), f"{case} changed the games"


@pytest.mark.parametrize("body, headers", [
    (b"[" * 4000, {}),
    (b"{" * 100_000, {"Content-Length": "4000"}),
    (b"\xff\xfe{}", {}),
    (b"[1, 2]", {}),
    (b"{}", {"Content-Length": "-5"}),
    (b"{}", {"Content-Length": "many"}),
])
def test_play_app_answers_malformed_bodies_with_400(app_server, body, headers):
    _, port = app_server
    status, answer, _ = request(port, "POST", "/api/new", body[:4000], headers)
    assert status == 400 and "error" in answer, (status, answer)
    assert request(port, "GET", "/api/state?session=nobody")[0] == 404, "the server stopped answering"


@pytest.mark.parametrize("path", ["/", "/api/state?session=nobody", "/nothing"])
def test_play_app_forbids_sniffing_and_framing(app_server, path):
    _, port = app_server
    _, _, response = request(port, "GET", path)
    assert response.getheader("X-Content-Type-Options") == "nosniff"
    assert "frame-ancestors 'none'" in response.getheader("Content-Security-Policy", "")


def test_play_app_bounds_and_drops_stalled_connections(app_server):
    _, port = app_server
    before = threading.active_count()
    stalled = []
    for _ in range(3 * play_server.MAX_CONNECTIONS):
        connection = socket.create_connection(("127.0.0.1", port), timeout=REPLY_SECONDS)
        connection.sendall(f"POST /api/new HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
                           "Content-Length: 100\r\n\r\n".encode())
        stalled.append(connection)
    time.sleep(0.5)
    assert threading.active_count() - before <= play_server.MAX_CONNECTIONS, "a thread per stalled connection"
    # Each stalled connection is dropped after the read timeout (1 s here); then the app answers.
    status, _, _ = request(port, "POST", "/api/new", b"{}")
    assert status == 200
    for connection in stalled:
        connection.close()


def test_play_app_records_every_game_and_keeps_a_failed_move_out(app_server, tmp_path):
    app, port = app_server

    def post(action, **body):
        status, answer, _ = request(port, "POST", f"/api/{action}", json.dumps(body).encode())
        return status, answer

    session = post("new")[1]["session"]
    for game in range(2):
        state = post("new", session=session)[1]
        while not state["over"]:
            state = post("tile", session=session, tile=state["legal"][0])[1] if state["player"] == 0 else \
                post("advance", session=session)[1]
        assert state["session"] == session
    records = sorted((tmp_path / "records").glob("*.json"))
    assert len(records) == 2, f"the second game overwrote the first: {records}"
    assert all(load_record(path).final.player is None for path in records)
    post("new", session=session)
    post("tile", session=session, tile=post("tile", session=session, tile=0)[1]["legal"][0])
    app.choose_piece = nan_halfway
    before = app.state(session)
    while app.state(session)["player"] == 0:
        post("tile", session=session, tile=app.state(session)["legal"][0])
        before = app.state(session)
    status, answer = post("advance", session=session)
    assert status == 409 and "NaN" in answer["error"], answer
    assert app.state(session)["moves"] == before["moves"] != [], "half a piece of a failed search was kept"


# --- The text-protocol engine ---------------------------------------------------------------


@pytest.fixture(scope="module")
def broken_networks(tmp_path_factory):
    """Checkpoints whose policy or value head yields NaN."""
    root = tmp_path_factory.mktemp("nan")
    paths = {}
    for head, layer in (("policy", lambda m: m.policy_head[-1]), ("value", lambda m: m.value_fc[-1])):
        model = network.new_model(channels=4, blocks=0, seed=0)
        with torch.no_grad():
            layer(model).bias.fill_(float("nan"))
        paths[head] = root / f"nan-{head}.pt"
        network.save_checkpoint(paths[head], model, engine_config={"dim": 7})
    return paths


@pytest.mark.parametrize("head", ["policy", "value"])
def test_gtp_answers_every_line_and_goes_on(broken_networks, head):
    lines = [b"1 boardsize 99999999999999999999999", b"2 \xff\xfe name", b"3 genmove 1", b"4 boardsize 7",
             b"5 name"]
    env = {**os.environ, "LC_ALL": "C.UTF-8", "PYTHONUTF8": "0", "PYTHONIOENCODING": "utf-8:strict"}
    done = subprocess.run([sys.executable, "-m", "tavlox_zero", "gtp", str(broken_networks[head]), "--sims", "4"],
                          input=b"\n".join(lines) + b"\n", capture_output=True, timeout=REPLY_SECONDS, env=env)
    replies = done.stdout.decode("utf-8").split("\n\n")[:-1]
    assert done.returncode == 0 and len(replies) == len(lines), f"exit {done.returncode}: {replies}\n{done.stderr}"
    assert replies[0].startswith("?1 unacceptable size")
    assert replies[1].startswith("?2 unknown command")
    assert replies[2].startswith("?3 ") and f"network yielded NaN or infinite {head}" in replies[2], replies[2]
    assert replies[3:] == ["=4", "=5 tavlox-zero"]


def test_a_search_that_visits_nothing_is_an_error():
    from tavlox_zero._engine import search_position

    def nan_policy(planes):
        return np.full(DIM * DIM, np.nan, np.float32), np.zeros(4, np.float32)

    with pytest.raises(ValueError, match="visited no tile"):
        search_position(DIM, [], 4, nan_policy, 0)


# --- Shards -----------------------------------------------------------------------------------


def rewritten(source, target, change, keep_checksum=False):
    with np.load(source) as shard:
        arrays = {name: shard[name].copy() for name in shard.files}
    metadata = json.loads(str(arrays["metadata"]))
    replaced = change(arrays)  # the text of new metadata, or None
    if not keep_checksum:
        metadata["checksum"] = arrays_checksum(arrays)
    arrays["metadata"] = np.array(replaced if isinstance(replaced, str) else json.dumps(metadata))
    np.savez_compressed(target, **arrays)


SHARDS = {
    # More positions than the archive honestly holds: 12 MB of moves from a few kilobytes.
    "bomb": (lambda a: a.update(moves=np.zeros((3_000_000, 2), np.int16)), "would inflate to"),
    "dim as text": (lambda a: a.update(dim=np.array("7")), "dim of type <U1"),
    "dim as float": (lambda a: a.update(dim=np.array(7.9)), "dim of type float64"),
    "moves as floats": (lambda a: a.update(moves=a["moves"] + 0.5), "moves of type float"),
    "huge payoffs": (lambda a: a["payoffs"].__setitem__((0, 0), 1e30), "a payoff is not a number in"),
    "payoffs not summing to 1": (lambda a: a["payoffs"].__setitem__(0, 0.5), "do not sum to 1"),
    "negative fractions": (lambda a: a["policy_fractions"].__setitem__(0, -2.0), "fraction lies outside"),
    "metadata nested without end": (lambda a: "[" * 100_000, "RecursionError"),
    "more positions than games allow": (lambda a: a.update(moves=np.tile(a["moves"], (30, 1)),
                                                           policy_offsets=np.zeros(30 * len(a["moves"]) + 1, np.int64)),
                                        "positions in 1 games"),
}


@pytest.fixture(scope="module")
def good_shard(tmp_path_factory):
    path = tmp_path_factory.mktemp("shards") / "good.npz"
    write_shard(path, [random_game(DIM)], DIM)
    return path


@pytest.mark.parametrize("case", SHARDS)
def test_crafted_shards_are_refused_before_inflating(good_shard, tmp_path, monkeypatch, case):
    change, problem = SHARDS[case]
    path = tmp_path / "crafted.npz"
    rewritten(good_shard, path, change)
    inflated = []
    read_array = np.lib.format.read_array
    monkeypatch.setattr(np.lib.format, "read_array", lambda fp, *a, **k: inflated.append(fp) or read_array(fp, *a, **k))
    with pytest.raises(ValueError) as refusal:
        read_shard(path)
    assert problem in one_line_naming(refusal.value, str(path)), refusal.value
    if case == "bomb":
        assert not inflated, "the bomb's arrays were inflated before its sizes were checked"


def test_check_refuses_what_is_not_a_regular_file(tmp_path):
    fifo = tmp_path / "shard.npz"
    os.mkfifo(fifo)
    done = subprocess.run([sys.executable, "-m", "tavlox_zero", "check", str(fifo)], capture_output=True, text=True,
                          timeout=REPLY_SECONDS)
    assert done.returncode == 2 and "not a regular file" in one_line_naming(done.stderr, str(fifo)), done.stderr


# --- Checkpoints ------------------------------------------------------------------------------


class Unlisted:
    """An object that only an unsafe load would rebuild."""


CHECKPOINTS = {
    "no model_config": (lambda c: c.pop("model_config"), "no model_config"),
    "1500 channels claimed": (lambda c: c["model_config"].update(channels=1500), "names 1500 channels"),
    "20000 blocks claimed": (lambda c: c["model_config"].update(blocks=20000), "names 20000 blocks"),
    "channels as text": (lambda c: c["model_config"].update(channels="4"), "not integers"),
    "no weights": (lambda c: c.update(model_state=5), "no model_state of tensors"),
    "a foreign object": (lambda c: c.update(extra=Unlisted()), "nothing but tensors and plain data"),
    "a board side as text": (lambda c: c.update(engine_config={"dim": "x"}), "names the board side 'x'"),
}


@pytest.mark.parametrize("case", CHECKPOINTS)
def test_crafted_checkpoints_are_refused_before_a_model_is_built(tmp_path, monkeypatch, case):
    change, problem = CHECKPOINTS[case]
    path = tmp_path / "crafted.pt"
    network.save_checkpoint(path, network.new_model(channels=4, blocks=0))
    checkpoint = torch.load(path, weights_only=True)
    change(checkpoint)
    torch.save(checkpoint, path)
    monkeypatch.setattr(network, "build_model", lambda config: pytest.fail(f"{case}: a model of {config} was built"))
    with pytest.raises(ValueError) as refusal:
        network.load_checkpoint(path)
    text = one_line_naming(refusal.value, str(path))
    assert problem in text and "weights_only" not in text, text


# --- Game records and the HTML replay -----------------------------------------------------------


RECORDS = {
    "moves as a number": ({"moves": 5}, "moves must be"),
    "a negative board side": ({"dim": -7}, "dim -7 is not a board side"),
    "an off-board policy tile": ({"policies": [[[999, 0.5]]]}, "policies must be"),
    "payoffs as text": ({"payoffs": ["a", "b", "c", "d"]}, "payoffs must be 4 numbers"),
    "nested without end": ("[" * 100_000, "not a tavlox-zero-game record"),
}


@pytest.mark.parametrize("case", RECORDS)
def test_show_refuses_broken_records_in_one_line(tmp_path, capsys, case):
    change, problem = RECORDS[case]
    game = Game(DIM)
    game.apply(game.legal_tiles()[0])
    path = tmp_path / "record.json"
    path.write_text(change if isinstance(change, str) else json.dumps({**record_dict(game, [[(0, 1.0)]]), **change}))
    assert cli.main(["show", str(path), "--html", "--out", str(tmp_path / "out.html")]) == 1
    assert problem in one_line_naming(capsys.readouterr().err, str(path))
    assert not (tmp_path / "out.html").exists()


@pytest.mark.parametrize("name", ["game.npz", "<!--<script>.npz", "<script>alert(1)<b>.npz"])
def test_show_html_embeds_any_file_name_and_nan_fractions_as_plain_data(tmp_path, name):
    moves, policies, payoffs = random_game(DIM, seed=1)
    policies[0][0] = (policies[0][0][0], float("nan"))
    path = tmp_path / name
    write_shard(path, [(moves, policies, payoffs)], DIM)
    out = tmp_path / "replay.html"
    assert cli.main(["show", str(path), "--html", "--out", str(out)]) == 0
    text = out.read_text()
    scripts = re.findall(r"<script[^>]*>(.*?)</script>", text, re.S)
    data = re.search(r'id="game-data">(.*?)</script>', text, re.S).group(1)
    assert "<" not in data and len(scripts) == 3, "the embedded data reaches into the page's markup"
    game = json.loads(data, parse_constant=lambda constant: pytest.fail(f"{constant} in the page's data"))
    assert game["title"].startswith(name) and game["policies"][0][0] == [policies[0][0][0], 0.0]
