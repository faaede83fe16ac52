"""The fixed reference players: the yardsticks that every network is measured against.

They are written in C++ and played by the batched engine in the seats a network does not
hold, at the engine's full speed, every tile checked by the rules engine:

* random-tiles: a uniformly random legal tile (the random player of the seat-0 match);
* random-piece: a uniformly random whole placement, its tiles played one by one;
* largest-piece: a random placement of the largest piece that fits;
* heuristic: the largest piece, ties broken by the anchor cells it gains for its player
  plus the anchor cells of the other players it covers, then at random.

A whole-piece player chooses among the placements its tiles complete: one whose cells
another legal placement also covers would leave a tile to play, so the tile-by-tile game
cannot place it.

`reference_payoffs` plays reference players against each other, no network involved.
"""

from __future__ import annotations

from typing import Any, Optional, Sequence

from ..engine.search_settings import MatchSettings, reference_players

ALL = "all"
NONE = "none"


def parse_players(text: str) -> list[str]:
    """The reference players named by `text`: "all", "none" or a comma-separated list;
    ValueError naming the unknown ones."""
    names = reference_players()
    if text == ALL:
        return list(names)
    if text == NONE:
        return []
    chosen = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in chosen if name not in names]
    if unknown or not chosen:
        raise ValueError(f"--fixed-players must be all, none or a list of {', '.join(names)}, got {text!r}")
    return list(dict.fromkeys(chosen))


def rotated_games(games: int) -> int:
    """`games` rounded up to a multiple of 4, so that every seat is measured equally often."""
    return -(-games // 4) * 4


def _no_network(planes: Any) -> Any:
    raise RuntimeError("a match of reference players asks no network")


def reference_payoffs(config: Any, games: int, subject: str, opponents: str, opening: str = "none",
                      seed: Optional[int] = None, search_threads: Optional[int] = None) -> Sequence[float]:
    """Reference player `subject` in seat game % 4 against three `opponents`: its payoffs in
    the order of the game numbers (game n measured seat n % 4)."""
    from ..engine.batched import AGAINST_RANDOM, BatchedEngine

    match = MatchSettings(opening=opening, opponents=opponents, seats="rotate", subject=subject)
    with BatchedEngine(AGAINST_RANDOM, config, games, [_no_network], search_threads=search_threads or 1,
                       seed=seed, match=match, max_failed_games=0) as engine:
        return list(engine.run())
