"""`tavlox-zero show`: a game from a shard or a saved game record as a picture, an animation
or a self-contained HTML replay with the search's visits."""

from __future__ import annotations

import argparse
import math
from pathlib import Path

from ..view import web
from ..base.atomic import atomic_write
from ..base.errors import CommandFailed, UsageError, readable_file
from ..view.timeline import Timeline, load_record, replay

HELP = "render a game of a shard (or a saved game record) as PNG, GIF or HTML replay"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("data", type=Path, help="a shard (.npz) or a game record (.json) from `tavlox-zero play`")
    parser.add_argument("--game", type=int, default=0, help="which game of the shard (default 0)")
    parser.add_argument("--out", type=Path, help="output file (default: next to DATA, named after the game)")
    kind = parser.add_mutually_exclusive_group()
    kind.add_argument("--gif", action="store_true", help="an animated GIF of the whole game, one frame per piece")
    kind.add_argument("--html", action="store_true", help="a self-contained HTML replay with the search's visits")
    parser.add_argument("--move", type=int, help="PNG: the position after this many tiles (default: the final one)")
    parser.add_argument("--visits", action="store_true", help="PNG: the search's visits of that position as a heat map")


def load_game(path: Path, game: int = 0) -> Timeline:
    """Game ``game`` of a shard, or the game of a record written by the play app."""
    if path.suffix == ".json":
        return load_record(path)
    from ..data.dataset import read_shard

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
        f.write(web.page("replay.html", replay_data(timeline, title)))


def run(args: argparse.Namespace) -> int:
    from ..view import picture

    readable_file(args.data, "shard or game record")
    try:
        timeline = load_game(args.data, args.game)
    except (OSError, ValueError, KeyError) as error:
        raise CommandFailed(str(error)) from error
    total = len(timeline.moves)
    step = total if args.move is None else args.move
    if not 0 <= step <= total:
        raise UsageError(f"--move must lie in 0..{total}, got {step}")
    suffix = ".gif" if args.gif else ".html" if args.html else ".png"
    name = f"{args.data.stem}-game{args.game}"
    out = args.out or args.data.with_name(name + ("" if args.gif or args.html or args.move is None else f"-move{step}") + suffix)
    if args.gif:
        with atomic_write(out) as f:
            frames = picture.save_gif(timeline, f)
        print(f"{out}: {frames} frames, {len(timeline.pieces)} pieces, {total} tiles")
    elif args.html:
        write_html(timeline, out, f"{args.data.name}, game {args.game}")
        print(f"{out}: replay of {total} tiles")
    else:
        with atomic_write(out) as f:
            picture.save_png(timeline, step, f, visits=args.visits)
        print(f"{out}: position after {step} of {total} tiles")
    return 0
