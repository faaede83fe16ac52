"""The `check` command: validates self-play shards file by file.

A shard passes when it loads (its checksum matching, when it has one), its offsets and counts
agree with each other and with its metadata, and every game replays legally through the
rules: each position's mover is the player to move, its move and every tile of its root
policy are legal there, the policy's fractions are finite, not negative and sum to 1 (a
position without a policy is one left out of training, searched with the fast budget),
and the game ends in a final position whose payoffs are the recorded ones.
"""

from __future__ import annotations

import argparse
from pathlib import Path

from ..base.errors import UsageError
from ..data.shards import shard_paths
from ..data.shard_check import shard_problems

HELP = "validate self-play shards: checksums, offsets and counts, and every game replayed through the rules"

# Problems listed per file; the rest are counted.
LISTED_PROBLEMS = 5


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("data", nargs="+", type=Path, help="shards (.npz), or directories of them")


def run(args: argparse.Namespace) -> int:
    try:
        paths = shard_paths(args.data)
    except (OSError, ValueError) as error:
        raise UsageError(f"{error.filename}: no such shard" if isinstance(error, OSError) else str(error)) from error
    bad = 0
    for path in paths:
        problems = list(shard_problems(path))
        if problems:
            bad += 1
            shown = "; ".join(problems[:LISTED_PROBLEMS])
            more = f" (and {len(problems) - LISTED_PROBLEMS} more)" if len(problems) > LISTED_PROBLEMS else ""
            print(f"{path}: FAILED: {shown}{more}")
    print(f"checked {len(paths)} shard(s): {len(paths) - bad} good, {bad} with problems")
    return 1 if bad else 0
