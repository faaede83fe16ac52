"""The game's and the engine's constants as the Python side uses them, each defined here alone.

PLAYERS, STATE_PLANES, BASELINE_MATCH_DIM and CONFIG_FIELDS mirror the engine's own values
(the names are those the batched engine module exports); the rest are this package's.
"""

PLAYERS = 4
# The state the engine sends the network: four occupancy planes relative to the player to
# move, then the plane of the tiles that player may choose next.
STATE_PLANES = 5

# The `rep` setting: how the engine lays out a state.
CHANNELS_FIRST = 1  # (STATE_PLANES, dim, dim)
CHANNELS_LAST = 2  # (dim, dim, STATE_PLANES)

# The standard board side, the default everywhere.
DEFAULT_DIM = 20
# The pieces span up to five cells in a line; smaller boards cannot hold a full game.
MIN_CONFIG_DIM = 5
# The engine plays a match against a baseline network on this board side, whatever the configuration says.
BASELINE_MATCH_DIM = 20
# A player's payoff when all four are equally strong.
FAIR_SHARE = 1 / PLAYERS

# The engine configuration's attributes, which every engine call reads: integers, then floats.
INTEGER_CONFIG_FIELDS = ("dim", "rep", "sims_per_move", "sample_moves")
FLOAT_CONFIG_FIELDS = ("c_base", "c_init", "dirichlet_alpha", "exploration_fraction")
CONFIG_FIELDS = INTEGER_CONFIG_FIELDS + FLOAT_CONFIG_FIELDS
