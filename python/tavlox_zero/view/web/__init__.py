"""The pages of the replay and the play app: HTML templates with the shared board style and
script inlined, so that every page is one self-contained file."""

from __future__ import annotations

import json
from pathlib import Path

HERE = Path(__file__).resolve().parent


def page(name: str, data: object = None) -> str:
    """The template ``name`` with the board's CSS and script inlined and ``data`` as JSON."""
    text = (HERE / name).read_text(encoding="utf-8")
    text = text.replace("/*BOARD_CSS*/", (HERE / "board.css").read_text(encoding="utf-8"))
    text = text.replace("/*BOARD_JS*/", (HERE / "board.js").read_text(encoding="utf-8"))
    if data is not None:
        # Inside a script element "</" or "<!--" would change how the page is read: every "<"
        # (only ever inside a JSON string) is written as the escape that reads the same.
        encoded = json.dumps(data, separators=(",", ":"), allow_nan=False).replace("<", "\\u003c")
        text = text.replace("/*GAME_DATA*/", encoded)
    return text
