"""`tavlox-zero show`: pictures of known positions, the GIF's frames and a self-contained
HTML replay, from a shard and from a saved game record."""

from __future__ import annotations

import json
import random
import re

import pytest

pytest.importorskip("numpy")
pytest.importorskip("PIL")

from PIL import Image, ImageColor  # noqa: E402

from tavlox_zero.cli import main  # noqa: E402
from tavlox_zero.view.picture import COLOURS, Layout  # noqa: E402
from tavlox_zero.engine.rules import Game  # noqa: E402
from tavlox_zero.view.timeline import record_dict, replay  # noqa: E402

DIM = 9


@pytest.fixture(scope="module")
def record(tmp_path_factory):
    """A random game saved as a record, with made-up root visits on every position."""
    rng = random.Random(5)
    game, policies = Game(DIM), []
    while not game.is_terminal():
        legal = game.legal_tiles()
        policies.append([(t, 1 / len(legal)) for t in legal])
        game.apply(rng.choice(legal))
    path = tmp_path_factory.mktemp("show") / "game.json"
    path.write_text(json.dumps(record_dict(game, policies)))
    return path, game


@pytest.mark.parametrize("move", [None, 0, 7, 30])
def test_png_shows_each_cell_in_its_owners_colour(record, tmp_path, move):
    path, game = record
    out = tmp_path / "position.png"
    args = [str(path), "--out", str(out)] + ([] if move is None else ["--move", str(move)])
    assert main(["show", *args]) == 0
    image = Image.open(out).convert("RGB")
    layout = Layout(DIM)
    assert image.size == layout.size
    step = len(game.history) if move is None else move
    owners = {tile: player for player, tile in game.history[:step]}
    for tile in range(DIM * DIM):
        expected = ImageColor.getrgb(COLOURS[owners[tile]]) if tile in owners else None
        colour = image.getpixel(layout.cell_centre(tile))
        if expected is None:
            assert colour not in [ImageColor.getrgb(c) for c in COLOURS], f"empty tile {tile} is {colour}"
        else:
            assert colour == expected, f"tile {tile} of player {owners[tile]} is {colour}, not {expected}"


def test_gif_has_a_frame_per_piece_and_html_fetches_nothing(record, tmp_path):
    path, game = record
    timeline = replay(DIM, game.history)
    gif, html = tmp_path / "game.gif", tmp_path / "game.html"
    assert main(["show", str(path), "--gif", "--out", str(gif)]) == 0
    with Image.open(gif) as image:
        assert image.n_frames == len(timeline.pieces) + 1
        assert image.size == Layout(DIM).size
        image.seek(image.n_frames - 1)
        last = image.convert("RGB")
    player, tile = game.history[0]
    assert last.getpixel(Layout(DIM).cell_centre(tile)) == ImageColor.getrgb(COLOURS[player])
    assert main(["show", str(path), "--html", "--out", str(html)]) == 0
    text = html.read_text()
    outside = re.findall(r"(?:https?:|wss?:|ftp:)?//[\w.-]+\.\w+|\b(?:src|href)\s*=\s*[\"'][^\"'#]", text)
    assert not outside, f"the replay refers to outside addresses: {outside[:5]}"
    data = json.loads(re.search(r'id="game-data">(.*?)</script>', text, re.S).group(1))
    assert data["moves"] == [list(m) for m in game.history]
    assert [p["scores"] for p in data["positions"]][-1] == game.scores()
