"""Fuzzes the shard loader: any bytes, and damaged versions of a real shard, into read_shard.

    python fuzz/fuzz_shards.py [corpus folder] -max_total_time=SECONDS

A file that is not a good shard must raise ValueError naming the file; a crash, a hang or
any other exception stops the run. The corpus starts from a real shard's bytes.
"""

import io
import sys
import tempfile
from pathlib import Path

import atheris

with atheris.instrument_imports():
    from tavlox_zero.data import shards
    from tavlox_zero.data.shard_writer import write_shard


class Named(io.BytesIO):
    """Bytes that read_shard names in its messages like a file."""

    def __str__(self):
        return "fuzzed.npz"

    __fspath__ = None


def seed_shard() -> bytes:
    from tavlox_zero.engine.rules import Game

    game, moves, policies = Game(5), [], []
    while not game.is_terminal():
        legal = game.legal_tiles()
        moves.append((game.player, legal[0]))
        policies.append([(t, 1 / len(legal)) for t in legal])
        game.apply(legal[0])
    with tempfile.TemporaryDirectory() as folder:
        return write_shard(Path(folder) / "seed.npz", [(moves, policies, game.payoff())], 5).read_bytes()


SEED = seed_shard()


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        # A real shard with a few bytes changed: the archive stays mostly readable.
        blob = bytearray(SEED)
        for _ in range(fdp.ConsumeIntInRange(1, 8)):
            blob[fdp.ConsumeIntInRange(0, len(blob) - 1)] = fdp.ConsumeIntInRange(0, 255)
        blob = bytes(blob[: fdp.ConsumeIntInRange(0, len(blob))] if fdp.ConsumeIntInRange(0, 3) == 0 else blob)
    else:
        blob = fdp.ConsumeBytes(fdp.remaining_bytes())
    try:
        shards.read_shard(Named(blob))
    except ValueError as error:
        if "fuzzed.npz" not in str(error):
            raise AssertionError(f"a refusal that does not name the file: {error}") from error


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
