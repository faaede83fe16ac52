"""A game to look at, from a shard or a saved game record, and its self-contained HTML replay."""

from __future__ import annotations

import math
from pathlib import Path

from ..base.atomic import atomic_write
from ..data.shards import read_shard
from .timeline import Timeline, load_record, replay
from .web import page


def load_game(path: Path, game: int = 0) -> Timeline:
    """Game ``game`` of a shard, or the game of a record written by the play app."""
    if path.suffix == ".json":
        return load_record(path)
    shard = read_shard(path)
    if not 0 <= game < shard.num_games:
        raise ValueError(f"{path} holds games 0 to {shard.num_games - 1}, not {game}")
    moves, policies, payoffs = shard.game(game)
    return replay(shard.dim, moves, policies, payoffs)


def replay_data(timeline: Timeline, title: str) -> dict:
    """What the HTML replay needs, all precomputed by the rules engine."""
    return {
        "title": title,
        "dim": timeline.dim,
        "moves": [list(m) for m in timeline.moves],
        "pieceEnds": timeline.piece_ends,
        "positions": [
            {"player": p.player, "scores": p.scores, "piecesLeft": p.pieces_left} for p in timeline.positions
        ],
        # A search without visits records NaN fractions: the page shows them as none.
        "policies": [[[t, round(f, 4) if math.isfinite(f) else 0.0] for t, f in policy]
                     for policy in timeline.policies],
        "payoffs": timeline.payoffs,
        "shapes": [list(map(list, shape)) for shape in timeline.shapes],
    }


def write_html(timeline: Timeline, path: Path, title: str) -> None:
    with atomic_write(path, "w") as f:
        f.write(page("replay.html", replay_data(timeline, title)))
