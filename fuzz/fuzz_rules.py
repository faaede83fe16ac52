"""Fuzzes the rules extension `tavlox_zero._rules`: boards of any size, tile sequences of any
values (out of range, negative, huge, wrong types) into Game.apply and encode_record.

    python fuzz/fuzz_rules.py [corpus folder] -max_total_time=SECONDS

A refused tile must raise ValueError (or TypeError/OverflowError for a value that is no
tile) and leave the game as it was; a crash or any other exception stops the run.
"""

import sys

import atheris

with atheris.instrument_imports():
    import hostile

from tavlox_zero import _rules

REFUSALS = (ValueError, TypeError, OverflowError)


def tile(fdp, legal):
    if legal and fdp.ConsumeIntInRange(0, 3):
        return legal[fdp.ConsumeIntInRange(0, len(legal) - 1)]
    return hostile.number(fdp) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-3, 70_000)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    dim = fdp.ConsumeIntInRange(0, 12) if fdp.ConsumeIntInRange(0, 7) else hostile.number(fdp)
    try:
        game = _rules.Game(dim)
    except REFUSALS:
        return
    moves = []
    while fdp.remaining_bytes() and not game.is_terminal():
        before = (game.player, len(game.history), game.state_bytes())
        chosen = tile(fdp, game.legal_tiles())
        try:
            game.apply(chosen)
            moves.append((before[0], chosen))
        except (*REFUSALS, hostile.Planted):
            if (game.player, len(game.history), game.state_bytes()) != before:
                raise AssertionError(f"a refused tile {chosen!r} changed the game")
    if moves and fdp.ConsumeBool():
        # A record of the legal moves, perhaps damaged, replayed from the start.
        if fdp.ConsumeBool():
            moves[fdp.ConsumeIntInRange(0, len(moves) - 1)] = (fdp.ConsumeIntInRange(-1, 4), tile(fdp, []))
        try:
            states = _rules.encode_record(game.dim, moves)
        except (*REFUSALS, hostile.Planted):
            return
        if len(states) != len(moves) * 5 * game.dim * game.dim:
            raise AssertionError("encode_record returned a wrong number of cells")


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
