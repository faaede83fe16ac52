"""Fuzzes the module `tavlox_self_play`: configuration objects of every kind, and replies of
every shape and value from the pipe (NaN, infinities, huge and empty sequences, wrong types,
objects whose methods raise), for all three functions.

    python fuzz/fuzz_self_play.py [corpus folder] -max_total_time=SECONDS

A crash, a reference left behind, or an exception other than the expected ones (an
ordinary error, PanicException, or the planted interrupt unchanged) stops the run.
"""

import sys

import atheris

with atheris.instrument_imports():
    import hostile

import tavlox_self_play
from tavlox_zero.engine.engine_config import EngineConfig

FIELDS = ("dim", "rep", "sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha",
          "exploration_fraction")
PLAUSIBLE = {"dim": (4, 7), "rep": (1, 2), "sims_per_move": (1, 6), "sample_moves": (0, 4)}


class Config:
    pass


def config(fdp):
    made = Config()
    for name in FIELDS:
        choice = fdp.ConsumeIntInRange(0, 9)
        if choice == 0:
            continue  # missing
        if choice == 1:
            # Larger boards and searches are long work, not different work.
            value = hostile.bounded(hostile.number(fdp), 8 if name in ("dim", "sims_per_move") else 64)
        elif name in PLAUSIBLE:
            value = fdp.ConsumeIntInRange(*PLAUSIBLE[name])
        else:
            value = fdp.ConsumeFloatInRange(0.01, 2.0) if name != "c_base" else EngineConfig().c_base
        setattr(made, name, value)
    return made


class Queue:
    def __init__(self, fdp, requests):
        self.fdp, self.requests = fdp, requests

    def put(self, item):
        if self.fdp.remaining_bytes() and self.fdp.ConsumeIntInRange(0, 63) == 0:
            raise hostile.error(self.fdp)
        # Only the latest request is answered; keeping the others would only cost memory.
        self.requests[:] = [item]


class Pipe:
    """Answers the latest request: hostile replies while the fuzzer's bytes last, then plain ones."""

    def __init__(self, fdp, requests):
        self.fdp, self.requests = fdp, requests

    def recv(self):
        fdp = self.fdp
        state = self.requests[-1][1] if self.requests else []
        tiles = len(state[0]) * len(state[0][0]) if state and state[0] else 16
        if not fdp.remaining_bytes():
            return [0.0] * tiles, [0.25] * 4
        kind = fdp.ConsumeIntInRange(0, 7)
        if kind == 0:
            raise hostile.error(fdp)
        if kind == 1:
            return hostile.number(fdp)
        policy = hostile.sequence(fdp, tiles, fdp.ConsumeRegularFloat)
        values = hostile.sequence(fdp, 4, fdp.ConsumeRegularFloat)
        if kind == 2:
            return [policy, values, values]
        if kind == 3:
            return hostile.LyingSequence(2, policy)
        return (policy, values) if kind < 6 else [policy, values]


def expected(error):
    return isinstance(error, (Exception, hostile.Planted)) or type(error).__name__ == "PanicException"


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    function = fdp.ConsumeIntInRange(0, 2)
    requests = []
    result, inference, pipe = Queue(fdp, []), Queue(fdp, requests), Pipe(fdp, requests)
    made = config(fdp)
    held = [sys.getrefcount(x) for x in (result, inference, pipe, made)]
    try:
        if function == 0:
            outcome = tavlox_self_play.play_training_game(0, made, result, inference, pipe)
        elif function == 1:
            outcome = tavlox_self_play.play_test_against_random(0, made, result, inference, pipe)
        else:
            outcome = tavlox_self_play.play_test_game(0, made, result, inference, inference, pipe)
    except BaseException as error:  # noqa: B036 - sorting the expected from the faults is the point
        if not expected(error):
            raise
        outcome = None
    if function < 2 and outcome not in (None, 0, 1):
        raise AssertionError(f"status {outcome!r}")
    if function == 2 and outcome is not None and not 0.0 <= outcome <= 1.0:
        raise AssertionError(f"payoff {outcome!r}")
    if [sys.getrefcount(x) for x in (result, inference, pipe, made)] != held:
        raise AssertionError("the call left a reference behind")


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
