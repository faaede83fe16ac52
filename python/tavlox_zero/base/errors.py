"""The errors a command reports in one line, and the checks that raise them.

`UsageError` is a mistake on the command line (an option's value, a path that is missing or
cannot be written): the command exits with 2. `CommandFailed` is a failure while running
(a file that cannot be read as what it should be, a run that cannot go on): exit 1. The
command line prints either as `tavlox-zero COMMAND: MESSAGE`, so a message says what is
wrong and what to do, without the program's name.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Optional


# A message quotes at most this many characters of a library's error (a damaged file's
# bytes can make that text kilobytes long).
BRIEF_CHARACTERS = 200


class UsageError(Exception):
    """A wrong command line; the command exits with 2."""


class CommandFailed(Exception):
    """A failure while running; the command exits with 1."""


def brief(text: str) -> str:
    """`text` on one line, cut to BRIEF_CHARACTERS."""
    text = " ".join(str(text).split())
    return text if len(text) <= BRIEF_CHARACTERS else text[:BRIEF_CHARACTERS - 3] + "..."


def at_least(option: str, value: Optional[float], least: float) -> None:
    """Refuses `value` below `least` (None means the option was left out and passes)."""
    if value is not None and not value >= least:
        raise UsageError(f"{option} must be at least {least}, got {value}")


def within(option: str, value: Optional[float], low: float, high: float) -> None:
    if value is not None and not low <= value <= high:
        raise UsageError(f"{option} must lie in [{low}, {high}], got {value}")


def readable_file(path: os.PathLike | str, what: str) -> Path:
    """`path` when it names a readable file; otherwise a UsageError naming `what` it should be."""
    path = Path(path)
    if not path.exists():
        raise UsageError(f"{path}: no such {what}")
    if not path.is_file():
        raise UsageError(f"{path}: not a file (expected a {what})")
    if not os.access(path, os.R_OK):
        raise UsageError(f"{path}: cannot read this {what} (permission denied)")
    return path


def writable_file(path: os.PathLike | str, option: str) -> Path:
    """`path` when a file can be written there (its directory existing or creatable); writes nothing."""
    path = Path(path)
    if path.is_dir():
        raise UsageError(f"{option} {path}: is a directory; name a file to write")
    writable_directory(path.parent, option, path)
    return path


def writable_directory(path: os.PathLike | str, option: str, named: Optional[Path] = None) -> Path:
    """`path` when it is, or can be made as, a directory this process may write in; writes nothing."""
    path = Path(path)
    named = named if named is not None else path
    existing = path
    while not existing.exists() and existing != existing.parent:
        if existing.is_symlink():
            raise UsageError(f"{option} {named}: {existing} is a broken link")
        existing = existing.parent
    if not existing.is_dir():
        raise UsageError(f"{option} {named}: {existing} is not a directory; choose another path")
    if not os.access(existing, os.W_OK | os.X_OK):
        raise UsageError(f"{option} {named}: cannot write in {existing} (permission denied); choose another path")
    return path
