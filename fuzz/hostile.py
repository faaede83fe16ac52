"""Hostile Python values drawn from a fuzzer's bytes: numbers of every kind, sequences of every
shape, and objects whose conversion methods raise, for the harnesses in this folder."""

from __future__ import annotations

import math

import atheris


class Planted(BaseException):
    """An interrupt raised on purpose by a hostile object; it must come back out unchanged."""


class Raising:
    """Raises from every conversion: an ordinary error or an interrupt."""

    def __init__(self, error):
        self.error = error

    def _raise(self, *args):
        raise self.error

    __float__ = __index__ = __int__ = __len__ = __getitem__ = __iter__ = __str__ = __repr__ = _raise


class Converts:
    """Converts to `value` through __float__ and __index__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value if isinstance(self.value, float) else float("nan")

    def __index__(self):
        return self.value if isinstance(self.value, int) else 0


class LyingSequence:
    """A sequence that claims `length` items but holds at most `MAX_REAL_ITEMS`, each `item`.

    (One that really held 2**62 items would be read to its end: long work, not a fault.)"""

    MAX_REAL_ITEMS = 100_000

    def __init__(self, length, item):
        self.length, self.item = length, item

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if not -self.length <= index < min(self.length, self.MAX_REAL_ITEMS):
            raise IndexError(index)
        return self.item


HUGE = [0.5] * 100_000
ERRORS = (ValueError, TypeError, OverflowError, Planted)


def error(fdp: atheris.FuzzedDataProvider):
    """A new exception each time: a shared one would keep the frames of its last traceback."""
    return ERRORS[fdp.ConsumeIntInRange(0, len(ERRORS) - 1)]("hostile")


def number(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind == 0:
        return fdp.ConsumeRegularFloat()
    if kind == 1:
        return (math.nan, math.inf, -math.inf, 0.0, -0.0, 1e38, 1e39, -1e300)[fdp.ConsumeIntInRange(0, 7)]
    if kind == 2:
        return fdp.ConsumeIntInRange(-(2**31), 2**31)
    if kind == 3:
        return (1 if fdp.ConsumeBool() else -1) * 2 ** fdp.ConsumeIntInRange(0, 130)
    if kind == 4:
        return fdp.ConsumeBool()
    if kind == 5:
        return Raising(error(fdp))
    if kind == 6:
        return Converts(fdp.ConsumeRegularFloat() if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-5, 400))
    if kind == 7:
        return fdp.ConsumeUnicodeNoSurrogates(4)
    if kind == 8:
        return None
    if kind == 9:
        return [fdp.ConsumeRegularFloat()]
    return fdp.ConsumeRegularFloat() if kind == 10 else fdp.ConsumeIntInRange(0, 64)


def bounded(value, most: int):
    """`value` unless it is an integer above `most`, plain or behind `Converts`: a count the
    engine would honour by working for hours, which is long work and no fault."""
    if isinstance(value, Converts):
        return Converts(bounded(value.value, most))
    return most if isinstance(value, int) and not isinstance(value, bool) and value > most else value


def sequence(fdp: atheris.FuzzedDataProvider, length: int, plausible):
    """A sequence meant to have `length` items of `plausible()` numbers, or something else."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 3:
        items = [plausible() if fdp.ConsumeIntInRange(0, 15) else number(fdp) for _ in range(length)]
        return items if kind <= 2 else tuple(items)
    if kind == 4:
        return [plausible() for _ in range(fdp.ConsumeIntInRange(0, 2 * length + 2))]
    if kind == 5:
        return HUGE if fdp.ConsumeBool() else []
    if kind == 6:
        return LyingSequence(fdp.ConsumeIntInRange(0, 2**62) if fdp.ConsumeBool() else length, number(fdp))
    if kind == 7:
        return Raising(error(fdp))
    if kind == 8:
        return iter([plausible() for _ in range(length)])
    return number(fdp)
