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
import math
from dataclasses import asdict, dataclass, fields
from typing import Optional

ROOTS = ("puct", "gumbel")


@dataclass(frozen=True)
class SearchSettings:
    root: str = "puct"
    fpu_reduction: Optional[float] = None
    gumbel_actions: int = 16
    full_search_probability: float = 1.0
    fast_simulations: int = 0

    def __post_init__(self) -> None:
        if self.root not in ROOTS:
            raise ValueError(f"--root must be one of {', '.join(ROOTS)}, got {self.root!r}")
        if self.fpu_reduction is not None and not math.isfinite(self.fpu_reduction):
            raise ValueError(f"--fpu-reduction must be a finite number, got {self.fpu_reduction}")
        if self.gumbel_actions < 1:
            raise ValueError(f"--gumbel-actions must be at least 1, got {self.gumbel_actions}")
        if not 0.0 < self.full_search_probability <= 1.0:
            raise ValueError(f"--full-search-probability must lie in (0, 1], got {self.full_search_probability}")
        if self.fast_simulations < 0:
            raise ValueError(f"--fast-simulations must not be negative, got {self.fast_simulations}")

    def to_dict(self) -> dict:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: Optional[dict]) -> "SearchSettings":
        """The settings of a saved dict; missing keys keep their defaults, unknown ones are refused."""
        values = dict(values or {})
        unknown = set(values) - {f.name for f in fields(cls)}
        if unknown:
            raise ValueError(f"unknown search settings: {', '.join(sorted(unknown))}")
        return cls(**values)

    def is_default(self) -> bool:
        return self == SearchSettings()

    def engine_tuple(self) -> tuple:
        """What the engine binding reads: (root, fpu_reduction, gumbel_actions, c_visit, c_scale,
        full_search_probability, fast_simulations)."""
        return (self.root, self.fpu_reduction, self.gumbel_actions, 50.0, 1.0,
                self.full_search_probability, self.fast_simulations)

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        defaults = SearchSettings()
        group = parser.add_argument_group("search (batched engine)")
        group.add_argument("--root", choices=ROOTS, default=defaults.root,
                           help="puct: every simulation selects by PUCT with Dirichlet noise at the root (default); "
                                "gumbel: Gumbel top-m sampling, sequential halving, completed-Q policy targets")
        group.add_argument("--fpu-reduction", type=float, default=defaults.fpu_reduction, metavar="X",
                           help="an unvisited child scores its parent's mean visited value minus X "
                                "(default: it scores 0)")
        group.add_argument("--gumbel-actions", type=int, default=defaults.gumbel_actions, metavar="M",
                           help="actions a Gumbel root considers (default %(default)s)")
        group.add_argument("--full-search-probability", type=float, default=defaults.full_search_probability,
                           metavar="P", help="share of training moves searched fully and recorded; the others "
                                             "get --fast-simulations, no noise, and are not trained on "
                                             "(default %(default)s)")
        group.add_argument("--fast-simulations", type=int, default=defaults.fast_simulations, metavar="N",
                           help="simulations of the unrecorded fast moves (default %(default)s)")

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> "SearchSettings":
        """The settings of parsed options; raises ValueError naming the option at fault."""
        return cls(**{f.name: getattr(args, f.name) for f in fields(cls)})


SEATS = ("first", "rotate")


def reference_players() -> tuple:
    """The names of the fixed reference players, as the engine defines them."""
    from .._engine import REFERENCE_PLAYERS

    return REFERENCE_PLAYERS


@dataclass(frozen=True)
class MatchSettings:
    """How a match plays. A "random" match puts reference players of kind `opponents` in the
    other seats; the measured seat is 0 (`seats` "first") or game number % 4 ("rotate"), and
    holds the network, or the reference player `subject` when one is named."""

    simulations: int = 0
    opening: str = "none"
    opponents: str = "random-tiles"
    seats: str = "first"
    subject: Optional[str] = None

    def __post_init__(self) -> None:
        if self.simulations < 0:
            raise ValueError(f"--match-simulations must not be negative, got {self.simulations}")
        self.opening_parts()
        for role, name in (("opponents", self.opponents), ("subject", self.subject)):
            if name not in (None, MatchSettings.opponents) and name not in reference_players():
                raise ValueError(f"unknown reference player {name!r} as {role}: "
                                 f"expected one of {', '.join(reference_players())}")
        if self.seats not in SEATS:
            raise ValueError(f"seats must be one of {', '.join(SEATS)}, got {self.seats!r}")

    def opening_parts(self) -> tuple:
        """(kind, random tiles) as the engine reads them; raises ValueError on a bad --opening."""
        if self.opening in ("none", "first-tile"):
            return self.opening, 0
        kind, _, count = self.opening.partition(":")
        if kind == "random" and count.isdigit() and int(count) >= 1:
            return "random", int(count)
        raise ValueError(f"--opening must be none, first-tile or random:K with K at least 1, got {self.opening!r}")

    def engine_tuple(self) -> tuple:
        """What the engine binding reads: (simulations, opening kind, random tiles, opponents,
        rotate seats, subject)."""
        return (self.simulations, *self.opening_parts(), self.opponents, self.seats == "rotate", self.subject)

    def to_dict(self) -> dict:
        """The settings; those of the reference match only where they differ from the defaults,
        so that records made before they existed still compare equal."""
        values = asdict(self)
        for name in ("opponents", "seats", "subject"):
            if values[name] == getattr(MatchSettings, name):
                del values[name]
        return values

    @classmethod
    def from_dict(cls, values: Optional[dict]) -> "MatchSettings":
        return cls(**dict(values or {}))

    def is_default(self) -> bool:
        return self == MatchSettings()

    def describe(self) -> str:
        play = f"searched with {self.simulations} simulations" if self.simulations else "greedy on the policy"
        opening = {"none": "no set opening", "first-tile": "balanced first tiles"}.get(
            self.opening, f"{self.opening_parts()[1]} random opening tile(s)")
        return f"{play}, {opening}"

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        defaults = MatchSettings()
        group = parser.add_argument_group("matches (batched engine)")
        group.add_argument("--match-simulations", type=int, default=defaults.simulations, metavar="N",
                           help="0: match moves greedy on the network's policy (default); N: a search with N "
                                "simulations, no noise, the best move")
        group.add_argument("--opening", default=defaults.opening, metavar="OPENING",
                           help="match openings: none (default), first-tile (every legal first tile opens "
                                "equally many games) or random:K (the first K tiles uniformly random legal)")

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> "MatchSettings":
        return cls(simulations=args.match_simulations, opening=args.opening)
