"""Scalars for TensorBoard, written with torch.utils.tensorboard beside a run's other outputs.

TensorBoard is an optional extra (pip install 'tavlox[tensorboard]'). Without it a
ScalarLog warns once per process and writes nothing, so a run goes on as before.

    tensorboard --logdir runs/NAME/tensorboard
"""

from __future__ import annotations

import importlib.util
import math
import os
import sys
from typing import Any, Mapping, Optional

TENSORBOARD_MISSING = ("tensorboard is not installed, so no TensorBoard scalars are written "
                       "(pip install 'tavlox[tensorboard]')")
_warned = False


def tensorboard_available() -> bool:
    return importlib.util.find_spec("tensorboard") is not None


def _warn_missing() -> None:
    global _warned
    if not _warned:
        _warned = True
        print(f"tavlox-zero: warning: {TENSORBOARD_MISSING}", file=sys.stderr)


class ScalarLog:
    """Scalars of one run in `directory` (created on the first scalar). Values that are not
    finite numbers are skipped. A context manager; close() flushes."""

    def __init__(self, directory: os.PathLike | str) -> None:
        self.directory = os.fspath(directory)
        self._writer: Any = None
        self._disabled = False

    def add(self, tag: str, value: Any, step: int) -> None:
        if isinstance(value, bool):
            value = float(value)
        if not isinstance(value, (int, float)) or not math.isfinite(value):
            return
        writer = self._open()
        if writer is not None:
            writer.add_scalar(tag, float(value), int(step))

    def add_all(self, prefix: str, values: Optional[Mapping[str, Any]], step: int, *keys: str) -> None:
        """Each of `keys` of `values` (all of them when none are named) as PREFIX/KEY."""
        for key in keys or tuple(values or {}):
            self.add(f"{prefix}/{key}", (values or {}).get(key), step)

    def flush(self) -> None:
        if self._writer is not None:
            self._writer.flush()

    def close(self) -> None:
        if self._writer is not None:
            self._writer.close()
            self._writer = None

    def __enter__(self) -> "ScalarLog":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _open(self) -> Any:
        if self._writer is None and not self._disabled:
            if not tensorboard_available():
                self._disabled = True
                _warn_missing()
                return None
            from torch.utils.tensorboard import SummaryWriter

            self._writer = SummaryWriter(self.directory)
        return self._writer
