"""The `tavlox-zero` command line: one subcommand per module of commands/ (selfplay, evaluate,
show, play, gtp, ...; train and loop for now at the top of the package).

Each command module provides HELP, add_arguments(parser) and run(args) -> int. The
modules are imported when the parser is built, not when this module is imported, and
a module that cannot be imported makes only its own command fail.

Every problem is reported in one line, `tavlox-zero COMMAND: MESSAGE`: a wrong command line
exits with 2, a failure while running with 1, Ctrl-C with 130; `--debug` adds the traceback.
"""

from __future__ import annotations

import argparse
import importlib
import logging
import sys
import traceback
import zipfile
from pathlib import Path
from typing import NoReturn, Optional, Sequence

from . import __version__
from .base.config_file import OPTION, with_file
from .base.errors import CommandFailed, UsageError

COMMANDS = ("selfplay", "train", "evaluate", "loop", "show", "play", "gtp", "check", "ladder", "backends")


class Parser(argparse.ArgumentParser):
    """An argument parser whose mistakes are UsageErrors, reported in one line by `main`."""

    def error(self, message: str) -> NoReturn:
        error = UsageError(f"{message} (see {self.prog} --help)")
        error.prog = self.prog
        raise error


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="tavlox-zero", description="Self-play training for the tavlox engine.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("-v", "--verbose", action="count", default=0, help="more log output (-vv for debug)")
    parser.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    parser.commands = {}
    for name in COMMANDS:
        try:
            module = importlib.import_module(f"{__package__}.commands.{name}")
        except ImportError as error:
            sub = commands.add_parser(name, help=f"(not available: {error})", add_help=False)
            sub.add_argument("arguments", nargs=argparse.REMAINDER)
            sub.set_defaults(unavailable=f"{error}")
            continue
        sub = commands.add_parser(name, help=module.HELP, description=module.HELP)
        # Also accepted after the command; left unset there so that it never clears the global one.
        sub.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                         help="show the traceback of a failure")
        sub.add_argument("--config", type=Path, metavar="FILE.toml",
                         help="read options from this TOML file (keys: option names without dashes); "
                              "options given here override it")
        module.add_arguments(sub)
        sub.set_defaults(handler=module.run)
        parser.commands[name] = sub
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    prog, debug = "tavlox-zero", "--debug" in argv
    try:
        # Building the parser imports the commands (and torch): Ctrl-C may come that early.
        parser = build_parser()
        args, unknown = parser.parse_known_args(with_config_file(parser, argv))
        prog, debug = f"tavlox-zero {args.command}", args.debug
        if unknown:
            raise UsageError(f"unrecognized arguments: {' '.join(unknown)} (see {prog} --help)")
        logging.basicConfig(
            level=logging.WARNING - 10 * min(args.verbose, 2),
            format="%(levelname)s %(name)s: %(message)s",
        )
        if getattr(args, "unavailable", None):
            print(f"{prog}: this command is not available: {args.unavailable}", file=sys.stderr)
            return 2
        return int(args.handler(args) or 0)
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # noqa: BLE001 - every failure becomes one line and an exit status
        if debug:
            traceback.print_exc()
        print(f"{getattr(error, 'prog', prog)}: {describe(error, debug)}", file=sys.stderr)
        return 2 if isinstance(error, UsageError) else 1


def with_config_file(parser: argparse.ArgumentParser, argv: list) -> list:
    """`argv` with the options of the command's --config file, if it names one, placed right
    after the command, so that the options given override them."""
    # The command is the first word that is not a global option (none of which takes a value).
    command_index = next((i for i, word in enumerate(argv) if not word.startswith("-")), None)
    if command_index is None or argv[command_index] not in parser.commands:
        return argv
    path = None
    for i in range(command_index + 1, len(argv)):
        if argv[i] == "--":
            break
        if argv[i] == OPTION and i + 1 < len(argv):
            path = argv[i + 1]
        elif argv[i].startswith(OPTION + "="):
            path = argv[i].partition("=")[2]
    if path is None:
        return argv
    return with_file(argv, command_index, parser.commands[argv[command_index]], Path(path))


def play_errors() -> tuple:
    """The failures of the engines and the worker pool, whose messages say what happened."""
    try:
        from .players.pool_options import play_errors as errors
    except ImportError:
        return ()
    return errors()


def describe(error: Exception, debug: bool = False) -> str:
    """One line saying what went wrong: the message of the errors a command expects, the type
    and a pointer to --debug for anything else."""
    if isinstance(error, (UsageError, CommandFailed)):
        text = str(error)
    elif isinstance(error, OSError) and error.filename is not None:
        text = f"{error.filename}: {(error.strerror or str(error)).lower()}"
    elif isinstance(error, (OSError, ValueError, FloatingPointError, zipfile.BadZipFile, EOFError, *play_errors())):
        text = str(error) or type(error).__name__
    else:
        text = f"unexpected {type(error).__name__}: {error}"
        if not debug:
            text += " (run again with --debug for the traceback)"
    return " ".join(text.split())
