"""The `tavlox-zero` command line: one subcommand per module (selfplay, train, evaluate, loop,
show, play, gtp).

Each command module provides HELP, add_arguments(parser) and run(args) -> int. The
modules are imported when the parser is built, not when this module is imported, and
a module that cannot be imported makes only its own command fail.
"""

from __future__ import annotations

import argparse
import importlib
import logging
import sys
from typing import Optional, Sequence

COMMANDS = ("selfplay", "train", "evaluate", "loop", "show", "play", "gtp")


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = argparse.ArgumentParser(prog="tavlox-zero", description="Self-play training for the tavlox engine.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("-v", "--verbose", action="count", default=0, help="more log output (-vv for debug)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name in COMMANDS:
        try:
            module = importlib.import_module(f"{__package__}.{name}")
        except ImportError as error:
            sub = commands.add_parser(name, help=f"(not available: {error})", add_help=False)
            sub.add_argument("arguments", nargs=argparse.REMAINDER)
            sub.set_defaults(unavailable=f"{error}")
            continue
        sub = commands.add_parser(name, help=module.HELP, description=module.HELP)
        module.add_arguments(sub)
        sub.set_defaults(handler=module.run)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        # Building the parser imports the commands (and torch): Ctrl-C may come that early.
        args = build_parser().parse_args(argv)
        logging.basicConfig(
            level=logging.WARNING - 10 * min(args.verbose, 2),
            format="%(levelname)s %(name)s: %(message)s",
        )
        if getattr(args, "unavailable", None):
            print(f"tavlox-zero {args.command}: this command is not available: {args.unavailable}", file=sys.stderr)
            return 2
        return int(args.handler(args) or 0)
    except KeyboardInterrupt:
        print("tavlox-zero: interrupted", file=sys.stderr)
        return 130
