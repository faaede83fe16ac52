"""The game's and the engine's constants as the Python side uses them, each defined here alone.

PLAYERS, STATE_PLANES, BASELINE_MATCH_DIM, CONFIG_FIELDS, the board-side range MIN_DIM to
MAX_DIM and the default board side come from the engine itself; the rest are this package's.
"""

from .._engine import BASELINE_MATCH_DIM, CONFIG_FIELDS, MAX_DIM, MIN_DIM, PLAYERS, SETTINGS, STATE_PLANES  # noqa: F401

# The `rep` setting: how the engine lays out a state.
CHANNELS_FIRST = 1  # (STATE_PLANES, dim, dim)
CHANNELS_LAST = 2  # (dim, dim, STATE_PLANES)

# The standard board side, the default everywhere: the engine configuration's.
DEFAULT_DIM = next(row["default"] for row in SETTINGS["config"] if row["name"] == "dim")
# A player's payoff when all four are equally strong.
FAIR_SHARE = 1 / PLAYERS

# What the games of a run are: self-play, or matches against reference players (the network in
# seat 0, or in seat game % 4) or against a baseline network, or head-to-head matches (the
# first network in seat game % 4).
TRAINING = "training"
AGAINST_RANDOM = "random"
AGAINST_BASELINE = "baseline"
HEAD_TO_HEAD = "match"
