"""`--config FILE.toml`: a command's options read from a TOML file.

A key is an option's name without its dashes (`sims = 32`, `match-simulations = 16`), or its
destination (`sims_per_move = 32`); tables group keys and are read as if their keys stood at
the top (a loop's saved config.toml has [engine], [search], [loop] and [train]). The file's
settings are read as options placed right after the command, so options given on the command
line override them and every value passes the command's own checks. A key that names no
option of the command is a usage error naming it.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path
from typing import Any, Iterable, Mapping

from .errors import UsageError, readable_file

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

OPTION = "--config"


def read_toml(path: Path) -> dict:
    readable_file(path, "TOML settings file")
    try:
        with open(path, "rb") as file:
            return tomllib.load(file)
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise UsageError(f"{path}: not a TOML settings file ({error})") from error


def flat(values: Mapping[str, Any]) -> dict:
    """The file's keys, those of its tables included."""
    out = {}
    for key, value in values.items():
        out.update(flat(value) if isinstance(value, dict) else {key: value})
    return out


def option_of(parser: argparse.ArgumentParser, key: str) -> "argparse.Action | None":
    names = {f"--{key}", f"--{key.replace('_', '-')}"}
    for action in parser._actions:
        if action.option_strings and (names & set(action.option_strings) or action.dest == key):
            return action
    return None


def tokens(action: argparse.Action, key: str, value: Any) -> list[str]:
    """The command-line words that give `value` to the option of `action`."""
    option = next(s for s in action.option_strings if s.startswith("--"))
    if isinstance(action, (argparse._StoreTrueAction, argparse._StoreFalseAction)):
        if not isinstance(value, bool):
            raise UsageError(f"{key} must be true or false, got {value!r}")
        return [option] if value == isinstance(action, argparse._StoreTrueAction) else []
    if action.nargs == 0 or isinstance(value, list):
        raise UsageError(f"{key} takes {'no value' if action.nargs == 0 else 'one value, not a list'}")
    return [f"{option}={word(value)}"]


def list_value(action: argparse.Action, key: str, value: list) -> list:
    """A list for an option of several values, converted and checked as its words would be.
    (Its words cannot go on the command line: they would take the positional arguments after them.)"""
    converted = [action.type(word(v)) if action.type else word(v) for v in value]
    bad = [v for v in converted if action.choices and v not in action.choices]
    if bad or not converted:
        raise UsageError(f"{key} must be a list of {', '.join(map(str, action.choices or ['values']))}, got {value!r}")
    return converted


def word(value: Any) -> str:
    return str(value).lower() if isinstance(value, bool) else str(value)


def file_arguments(parser: argparse.ArgumentParser, path: Path) -> list[str]:
    """The options `path` sets, as command-line words for `parser` (options of several values
    become its defaults); a UsageError names the keys that are no option of the command."""
    values = flat(read_toml(path))
    unknown = sorted(key for key in values if option_of(parser, key) is None or key in ("config", "help"))
    if unknown:
        raise UsageError(f"{path}: unknown settings for this command: {', '.join(unknown)} "
                         f"(see {parser.prog} --help)")
    words = []
    for key, value in values.items():
        action = option_of(parser, key)
        if action.nargs in ("*", "+") and isinstance(value, list):
            parser.set_defaults(**{action.dest: list_value(action, key, value)})
        else:
            words += tokens(action, key, value)
    return words


def with_file(argv: list[str], command_index: int, parser: argparse.ArgumentParser, path: Path) -> list[str]:
    """`argv` with the file's options right after the command, before those given."""
    return argv[:command_index + 1] + file_arguments(parser, path) + argv[command_index + 1:]


def toml_text(sections: Mapping[str, Mapping[str, Any]], header: Iterable[str] = ()) -> str:
    """Flat tables of numbers, booleans and texts as TOML; None values are left out."""
    lines = [f"# {line}" for line in header]
    for section, values in sections.items():
        lines += ["", f"[{section}]"]
        for key, value in values.items():
            if value is not None:
                lines.append(f"{key} = {toml_value(value)}")
    return "\n".join(lines) + "\n"


def toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, (int, float)):
        return repr(value)
    return json.dumps(str(value))
