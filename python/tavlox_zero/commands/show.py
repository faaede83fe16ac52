"""`tavlox-zero show`: a game from a shard or a saved game record as a picture, an animation
or a self-contained HTML replay with the search's visits."""

from __future__ import annotations

import argparse
from pathlib import Path

from ..base.atomic import atomic_write
from ..base.errors import CommandFailed, UsageError, readable_file
from ..view.replay import load_game, write_html

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
