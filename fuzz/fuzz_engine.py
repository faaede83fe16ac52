"""Fuzzes the batched engine's extension `tavlox_zero._engine` through search_position: board
sizes, tile sequences, simulation counts and constants of any value, and evaluation
functions that answer in every shape and value (NaN, infinities, wrong shapes and types,
functions that raise).

    python fuzz/fuzz_engine.py [corpus folder] -max_total_time=SECONDS

A crash, a reference left behind or an exception other than an ordinary error (or the
planted interrupt unchanged) stops the run.
"""

import sys

import atheris

with atheris.instrument_imports():
    import hostile

import numpy as np

from tavlox_zero import _engine


class Evaluate:
    """Answers with hostile replies while the fuzzer's bytes last, then with plain ones."""

    def __init__(self, fdp):
        self.fdp = fdp

    def __call__(self, planes):
        fdp = self.fdp
        batch, tiles = planes.shape[0], planes.shape[-1] * planes.shape[-2]
        if not fdp.remaining_bytes():
            return np.zeros((batch, tiles), np.float32), np.zeros((batch, 4), np.float32)
        kind = fdp.ConsumeIntInRange(0, 6)
        if kind == 0:
            raise hostile.error(fdp)
        if kind == 1:
            return hostile.number(fdp)
        if kind == 2:
            shape = (fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, tiles + 2))
            return np.full(shape, fdp.ConsumeRegularFloat(), np.float32), np.zeros((batch, 4), np.float32)
        policy = np.array([[fdp.ConsumeRegularFloat() for _ in range(tiles)]], np.float64)
        if kind == 3:
            policy[0, fdp.ConsumeIntInRange(0, tiles - 1)] = (np.nan, np.inf, -np.inf)[fdp.ConsumeIntInRange(0, 2)]
        values = hostile.sequence(fdp, 4, fdp.ConsumeRegularFloat) if kind == 4 else np.zeros((batch, 4))
        return (policy, values) if kind != 5 else [policy, values, values]


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    dim = fdp.ConsumeIntInRange(3, 8) if fdp.ConsumeIntInRange(0, 7) else hostile.number(fdp)
    tiles = [fdp.ConsumeIntInRange(-2, 70) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    if not fdp.ConsumeIntInRange(0, 7):
        tiles = hostile.sequence(fdp, len(tiles), lambda: fdp.ConsumeIntInRange(0, 30))
    sims = fdp.ConsumeIntInRange(0, 12) if fdp.ConsumeIntInRange(0, 7) else hostile.bounded(hostile.number(fdp), 64)
    constants = [fdp.ConsumeRegularFloat() for _ in range(fdp.ConsumeIntInRange(0, 2))]
    evaluate = Evaluate(fdp)
    held = sys.getrefcount(evaluate)
    try:
        visits = _engine.search_position(dim, tiles, sims, evaluate, fdp.ConsumeIntInRange(0, 2**64 - 1), *constants)
    except (Exception, hostile.Planted):
        visits = None
    if visits is not None and not all(count >= 0 for _, count in visits):
        raise AssertionError(f"negative visit counts {visits}")
    if sys.getrefcount(evaluate) != held:
        raise AssertionError("the call left a reference behind")


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
