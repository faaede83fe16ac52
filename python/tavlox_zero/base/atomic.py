"""Atomic file writes: a reader of the path sees the old file or the new one, never a part.

Every file the package writes goes through `atomic_write`: the data goes to a new
temporary file in the destination's directory, is flushed to disk, and then renamed
over the destination. A failure at any point, Ctrl-C included, removes the temporary
file and leaves the destination as it was.
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import shutil
from pathlib import Path
from typing import IO, Any, Iterator


@contextlib.contextmanager
def atomic_write(path: os.PathLike | str, mode: str = "wb") -> Iterator[IO]:
    """Yields a file opened with `mode` ("wb", or "w" for UTF-8 text) that replaces `path` on success.

    The destination's directory is made when missing. The new file gets the permissions
    a plain `open` would give it.
    """
    if mode not in ("wb", "w"):
        raise ValueError(f"atomic_write writes new files only (mode 'wb' or 'w'), got {mode!r}")
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary, fd = _create_temporary(path)
    try:
        with os.fdopen(fd, mode, encoding=None if "b" in mode else "utf-8") as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def write_json_atomic(path: os.PathLike | str, value: Any) -> None:
    with atomic_write(path, "w") as file:
        file.write(json.dumps(value, indent=2) + "\n")


def copy_atomic(source: os.PathLike | str, destination: os.PathLike | str) -> None:
    with open(source, "rb") as original, atomic_write(destination) as copy:
        shutil.copyfileobj(original, copy)


def _create_temporary(path: Path) -> tuple[Path, int]:
    """A new file named after `path` in its directory (`name.RANDOM.tmp`), and its descriptor."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        temporary = path.with_name(f"{path.name}.{secrets.token_hex(4)}.tmp")
        try:
            # Mode 0o666 less the umask, as for a file made by open().
            return temporary, os.open(temporary, flags, 0o666)
        except FileExistsError:
            continue
