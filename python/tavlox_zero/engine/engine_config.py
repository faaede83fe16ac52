"""The self-play engine's configuration: the eight fields every engine call reads.

The engine reads these attributes from whatever object it is given and converts the
integer fields strictly (a float such as 20.0 is refused), so the dataclass coerces
and checks its values before any worker sees them.
"""

from __future__ import annotations

import argparse
import operator
from dataclasses import asdict, dataclass, fields
from typing import Any, Mapping, Optional

from .constants import (
    CHANNELS_FIRST,
    CHANNELS_LAST,
    DEFAULT_DIM,
    FLOAT_CONFIG_FIELDS,
    INTEGER_CONFIG_FIELDS,
    MAX_DIM,
    MIN_DIM,
)


@dataclass
class EngineConfig:
    """Search and game settings handed to every engine call."""

    dim: int = DEFAULT_DIM
    rep: int = CHANNELS_FIRST
    sims_per_move: int = 64
    sample_moves: int = 30
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25

    def __post_init__(self) -> None:
        for name in INTEGER_CONFIG_FIELDS:
            setattr(self, name, _as_int(name, getattr(self, name)))
        for name in FLOAT_CONFIG_FIELDS:
            setattr(self, name, float(getattr(self, name)))
        self.validate()

    def validate(self) -> None:
        """Raises ValueError naming the first field that the engine would misuse."""
        if not MIN_DIM <= self.dim <= MAX_DIM:
            raise ValueError(f"the board side (dim) must lie in {MIN_DIM} to {MAX_DIM}, got {self.dim}")
        if self.rep not in (CHANNELS_FIRST, CHANNELS_LAST):
            raise ValueError(f"rep must be {CHANNELS_FIRST} (channels first) or {CHANNELS_LAST} (channels last), "
                             f"got {self.rep}")
        if self.sims_per_move < 1:
            raise ValueError(f"sims_per_move must be at least 1, got {self.sims_per_move}")
        if self.sample_moves < 0:
            raise ValueError(f"sample_moves must not be negative, got {self.sample_moves}")
        if not self.c_base > 0:
            raise ValueError(f"c_base must be positive, got {self.c_base}")
        if not self.c_init >= 0:
            raise ValueError(f"c_init must not be negative, got {self.c_init}")
        if not self.dirichlet_alpha > 0:
            raise ValueError(f"dirichlet_alpha must be positive, got {self.dirichlet_alpha}")
        if not 0 <= self.exploration_fraction <= 1:
            raise ValueError(f"exploration_fraction must lie in [0, 1], got {self.exploration_fraction}")

    def to_dict(self) -> dict:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> "EngineConfig":
        """Builds a config from saved values; unknown keys are an error, missing ones take defaults."""
        known = {f.name for f in fields(cls)}
        unknown = sorted(set(values) - known)
        if unknown:
            raise ValueError(f"unknown engine configuration keys: {', '.join(unknown)}")
        return cls(**dict(values))

    @classmethod
    def from_args(cls, args: argparse.Namespace, default_dim: int = DEFAULT_DIM) -> "EngineConfig":
        """The options' configuration; `default_dim` stands in for a --dim left out."""
        values = {f.name: getattr(args, f.name) for f in fields(cls)}
        if values["dim"] is None:
            values["dim"] = default_dim
        return cls(**values)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Adds one option per field (--dim, --sims, ...), defaulting to the dataclass defaults."""
    d = EngineConfig()
    group = parser.add_argument_group("engine")
    group.add_argument("--dim", type=int, default=None,
                       help=f"board side, {MIN_DIM} to {MAX_DIM} (default {d.dim}, or the checkpoint's)")
    group.add_argument("--rep", type=int, choices=(CHANNELS_FIRST, CHANNELS_LAST), default=d.rep,
                       help=f"state layout sent to the network: {CHANNELS_FIRST} channels first, "
                            f"{CHANNELS_LAST} channels last")
    group.add_argument("--sims", dest="sims_per_move", type=int, default=d.sims_per_move,
                       help="search simulations before every move (default %(default)s)")
    group.add_argument("--sample-moves", type=int, default=d.sample_moves,
                       help="moves sampled from the visit counts at the start of a game (default %(default)s)")
    group.add_argument("--c-base", type=float, default=d.c_base, help="exploration base constant")
    group.add_argument("--c-init", type=float, default=d.c_init, help="exploration initial constant")
    group.add_argument("--dirichlet-alpha", type=float, default=d.dirichlet_alpha,
                       help="concentration of the root noise (default %(default)s)")
    group.add_argument("--exploration-fraction", type=float, default=d.exploration_fraction,
                       help="weight of the root noise in the root priors (default %(default)s)")


def _as_int(name: str, value: Any) -> int:
    # bool is an int subclass the engine would accept, but here it is almost surely a mistake.
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    if isinstance(value, float) and value.is_integer():
        return int(value)
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None


def engine_config_for(checkpoint: dict, dim: Optional[int]):
    """The checkpoint's engine configuration (or the defaults), with ``dim`` if given."""
    config = EngineConfig.from_dict(checkpoint.get("engine_config") or {})
    if dim is not None:
        config.dim = dim
        config.validate()
    return config
