"""The self-play engine's configuration: the eight fields every engine call reads.

The engine reads these attributes from whatever object it is given and converts the
integer fields strictly (a float such as 20.0 is refused), so the dataclass coerces
and checks its values before any worker sees them.
"""

from __future__ import annotations

import argparse
from dataclasses import asdict, fields
from typing import Any, Mapping, Optional

from .constants import DEFAULT_DIM, MAX_DIM, MIN_DIM
from ..base.settings import engine_schema, settings_dataclass

# The engine's table names the fields and holds their defaults and ranges; here are the
# options and the wordings users know.
SCHEMA = engine_schema("config", "engine", "name", {
    "dim": {"label": "the board side (dim)",
            "help": f"board side, {MIN_DIM} to {MAX_DIM} (default {{default}}, or the checkpoint's)"},
    "rep": {"wording": "be 1 (channels first) or 2 (channels last)", "choices": (1, 2)},
    "sims_per_move": {"option": "--sims", "help": "search simulations before every move (default {default})"},
}, what="engine configuration keys")


@settings_dataclass(SCHEMA)
class EngineConfig:
    """Search and game settings handed to every engine call."""

    def __post_init__(self) -> None:
        for name, value in SCHEMA.validate(asdict(self)).items():
            setattr(self, name, value)

    def validate(self) -> None:
        """Raises ValueError naming the first field that the engine would misuse."""
        SCHEMA.validate(asdict(self))

    def to_dict(self) -> dict:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: Mapping[str, Any]) -> "EngineConfig":
        """Builds a config from saved values; unknown keys are an error, missing ones take defaults."""
        return cls(**SCHEMA.known(values))

    @classmethod
    def from_args(cls, args: argparse.Namespace, default_dim: int = DEFAULT_DIM) -> "EngineConfig":
        """The options' configuration; `default_dim` stands in for a --dim left out."""
        values = {f.name: getattr(args, f.name) for f in fields(cls)}
        if values["dim"] is None:
            values["dim"] = default_dim
        return cls(**values)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """Adds one option per field (--dim, --sims, ...), defaulting to the dataclass defaults."""
    SCHEMA.add_arguments(parser, defaults={"dim": None})


def engine_config_for(checkpoint: dict, dim: Optional[int]):
    """The checkpoint's engine configuration (or the defaults), with ``dim`` if given."""
    config = EngineConfig.from_dict(checkpoint.get("engine_config") or {})
    if dim is not None:
        config.dim = dim
        config.validate()
    return config
