"""The text-protocol engine: a whole game against itself through the protocol, every generated
piece accepted by an independent referee, and illegal commands refused without a change."""

from __future__ import annotations

import queue
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("torch")
pytest.importorskip("numpy")

from tavlox_zero.engine.rules import Game  # noqa: E402
from tavlox_zero.view.gtp_session import GtpSession  # noqa: E402
from tavlox_zero.view.timeline import parse_cell  # noqa: E402

DIM = 7
REPLY_SECONDS = 60


@pytest.fixture(scope="module")
def checkpoint(tmp_path_factory):
    from tavlox_zero.nets.network import new_model, save_checkpoint

    path = tmp_path_factory.mktemp("gtp") / "tiny.pt"
    save_checkpoint(path, new_model(channels=8, blocks=1), engine_config={"dim": DIM})
    return path


class Session:
    """A `tavlox-zero gtp` process, one command at a time, every reply read with a deadline."""

    def __init__(self, checkpoint) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "tavlox_zero", "gtp", str(checkpoint), "--sims", "4"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        self.lines: queue.Queue = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def ask(self, command: str) -> str:
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        reply, deadline = [], time.monotonic() + REPLY_SECONDS
        while True:
            line = self.lines.get(timeout=max(0.1, deadline - time.monotonic()))
            assert line is not None, f"the engine exited while answering {command!r}"
            if line == "\n" and reply:
                return "".join(reply).rstrip("\n")
            reply.append(line)

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=10)


def piece_tiles(move: str) -> list:
    return [parse_cell(DIM, cell) for cell in move.split(",")]


def test_a_whole_game_through_the_protocol_is_legal_and_scored_by_the_rules(checkpoint):
    session = Session(checkpoint)
    referee = GtpSession(lambda game: pytest.fail("the referee never generates"), DIM)
    try:
        assert session.ask("1 protocol_version") == "=1 2"
        assert session.ask("name") == "= tavlox-zero"
        commands = session.ask("list_commands")[2:].splitlines()
        for name in ("protocol_version", "name", "version", "list_commands", "clear_board", "boardsize",
                     "play", "genmove", "showboard", "final_score", "quit"):
            assert name in commands, f"{name} missing from list_commands: {commands}"
        assert session.ask(f"boardsize {DIM}") == "="
        assert session.ask("clear_board") == "="
        rules = Game(DIM)
        for turn in range(4 * 25 * 2):
            colour = turn % 4 + 1
            reply = session.ask(f"genmove {colour}")
            assert reply.startswith("= "), f"genmove {colour} failed: {reply}"
            move = reply[2:]
            accepted = referee.handle(f"play {colour} {move}")
            assert accepted == "=\n\n", f"the referee refused {colour} {move}: {accepted}"
            if move != "pass":
                for tile in piece_tiles(move):
                    rules.apply(tile)
            if referee.game.is_terminal():
                break
            if turn == 9:
                # A refused move changes nothing in the engine.
                before = session.ask("showboard")
                mover = rules.player + 1
                other = mover % 4 + 1
                for illegal in (f"play {other} a1", f"play {mover} a1,a1", f"play {mover} z99", f"play 5 a1",
                                f"play {mover} pass", f"play {mover} " + ",".join(f"{c}4" for c in "abcdefg")):
                    assert session.ask(illegal).startswith("? "), f"{illegal} was accepted"
                assert session.ask("showboard") == before
        assert rules.is_terminal(), "the game did not end within the turn limit"
        assert sorted(referee.game.history) == sorted(rules.history)
        expected = " ".join(f"{p + 1}:{s}" for p, s in enumerate(rules.scores()))
        assert session.ask("final_score") == f"= {expected}"
        assert session.ask("genmove 1") == "= pass"
        assert session.ask("quit") == "="
        assert session.process.wait(timeout=REPLY_SECONDS) == 0
    finally:
        session.close()


@pytest.mark.parametrize(
    "command, reason",
    [
        ("play 2 g7", "color 1 is to move, not 2"),
        ("play 1 a7,a7", "a cell is named twice"),
        ("play 1 h1", "off the 7x7 board"),
        ("play 1 b6", "no legal piece covers"),
        ("play 1 e6", "not a whole piece"),
        ("play 1 pass", "pass is illegal"),
        ("play one a7", "colors are 1 to 4"),
        ("boardsize 1", "unacceptable size"),
        ("frobnicate", "unknown command"),
    ],
)
def test_refused_commands_name_the_reason_and_change_nothing(command, reason):
    gtp = GtpSession(lambda game: [], DIM)
    gtp.handle("play 1 a7,b7,c7,d7,a6")
    gtp.handle("play 2 g7,f7,e7,g6,g5")
    gtp.handle("play 3 g1,f1,e1,g2,g3")
    gtp.handle("play 4 a1,b1,c1,a2,a3")
    history = gtp.game.history
    assert len(history) == 20, "the setup pieces were not all accepted"
    reply = gtp.handle(f"7 {command}")
    assert reply.startswith("?7 ") and reason in reply, f"{command}: {reply!r}"
    assert gtp.game.history == history and gtp.game.dim == DIM
