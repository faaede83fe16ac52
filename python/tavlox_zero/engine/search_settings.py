"""How searched moves are searched and how evaluation matches are played, for the batched engine.

SearchSettings: the root (PUCT, or a Gumbel root with sequential halving whose policy targets
are completed-Q distributions), first-play urgency, and playout-cap randomisation (a share of
moves searched fully and recorded, the rest searched with a small budget and left out of
training). The defaults are the engine's own search: with them the games are exactly those
played before these settings existed.

MatchSettings: matches greedy on the network's policy (the default) or searched, and their
openings ("first-tile": game n opens with legal first tile n % count, so every legal first
tile opens equally many games; "random:K": the first K tiles uniformly random legal).
"""

from __future__ import annotations

import argparse
from dataclasses import asdict, fields
from typing import Optional

from ..base.settings import engine_schema, settings_dataclass

# The engine's tables name the settings and hold their defaults, ranges and help.
SEARCH = engine_schema("search", "search (batched engine)", "option", {
    "fpu_reduction": {"finite": True, "metavar": "X"},
    "gumbel_actions": {"metavar": "M"},
    "full_search_probability": {"metavar": "P"},
    "fast_simulations": {"metavar": "N"},
}, what="search settings")
ROOTS = SEARCH["root"].choices


@settings_dataclass(SEARCH, frozen=True)
class SearchSettings:
    def __post_init__(self) -> None:
        for name, value in SEARCH.validate(asdict(self)).items():
            object.__setattr__(self, name, value)

    def to_dict(self) -> dict:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: Optional[dict]) -> "SearchSettings":
        """The settings of a saved dict; missing keys keep their defaults, unknown ones are refused."""
        return cls(**SEARCH.known(values))

    def is_default(self) -> bool:
        return self == SearchSettings()

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        SEARCH.add_arguments(parser)

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> "SearchSettings":
        """The settings of parsed options; raises ValueError naming the option at fault."""
        return cls(**{f.name: getattr(args, f.name) for f in fields(cls)})


SEATS = ("first", "rotate")


def reference_players() -> tuple:
    """The names of the fixed reference players, as the engine defines them."""
    from .._engine import REFERENCE_PLAYERS

    return REFERENCE_PLAYERS


MATCH = engine_schema("match", "matches (batched engine)", "option", {
    "simulations": {"option": "--match-simulations", "metavar": "N"},
    "opening": {"metavar": "OPENING"},
    # The reference players' names are checked below, with a message that says their role.
    "opponents": {"option": None, "choices": ()},
    "seats": {"option": None},
    "subject": {"option": None, "choices": ()},
}, what="match settings")


@settings_dataclass(MATCH, frozen=True)
class MatchSettings:
    """How a match plays. A "random" match puts reference players of kind `opponents` in the
    other seats; the measured seat is 0 (`seats` "first") or game number % 4 ("rotate"), and
    holds the network, or the reference player `subject` when one is named."""

    def __post_init__(self) -> None:
        for name, value in MATCH.validate(asdict(self)).items():
            object.__setattr__(self, name, value)
        self.opening_parts()
        for role, name in (("opponents", self.opponents), ("subject", self.subject)):
            if name not in (None, MATCH["opponents"].default) and name not in reference_players():
                raise ValueError(f"unknown reference player {name!r} as {role}: "
                                 f"expected one of {', '.join(reference_players())}")

    def opening_parts(self) -> tuple:
        """(kind, random tiles); raises ValueError on a bad --opening."""
        if self.opening in ("none", "first-tile"):
            return self.opening, 0
        kind, _, count = self.opening.partition(":")
        if kind == "random" and count.isdigit() and int(count) >= 1:
            return "random", int(count)
        raise ValueError(f"--opening must be none, first-tile or random:K with K at least 1, got {self.opening!r}")

    def to_dict(self) -> dict:
        """The settings; those of the reference match only where they differ from the defaults,
        so that records made before they existed still compare equal."""
        values = asdict(self)
        for name in ("opponents", "seats", "subject"):
            if values[name] == MATCH[name].default:
                del values[name]
        return values

    @classmethod
    def from_dict(cls, values: Optional[dict]) -> "MatchSettings":
        return cls(**MATCH.known(values))

    def is_default(self) -> bool:
        return self == MatchSettings()

    def describe(self) -> str:
        play = f"searched with {self.simulations} simulations" if self.simulations else "greedy on the policy"
        opening = {"none": "no set opening", "first-tile": "balanced first tiles"}.get(
            self.opening, f"{self.opening_parts()[1]} random opening tile(s)")
        return f"{play}, {opening}"

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        MATCH.add_arguments(parser)

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> "MatchSettings":
        return cls(simulations=args.simulations, opening=args.opening)
