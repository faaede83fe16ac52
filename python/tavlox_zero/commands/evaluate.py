"""Evaluation matches of a network (the `evaluate` command).

Two matches, each played greedily on the network's policy without search:
* against three random players on the configured board size, and
* against a baseline network in seats 1 to 3; this match is always played on
  a 20 x 20 board, whatever size is configured. A network as strong as its
  baseline earns a mean payoff of 0.25 there.

A greedy network plays one opening from the empty board, so a match from the empty
board measures little more than that opening. `--opening first-tile` (every legal first
tile equally often) or `--opening random:K` spreads the games over openings, so that the
interval covers them as well as the opponents' moves; `--match-simulations N` adds the same
match played with N simulations of search before every move; `--untrained-seeds K` plays
untrained networks of the same architecture (seeds 0 to K-1) under the same protocol, the
reference a trained network has to beat whatever its initial weights were.

The seat-0 match flatters every network, because seat 0 moves first. With the batched
engine every network is also measured against each fixed reference player (players/reference.py,
`--fixed-players`): the network in seat game % 4, three copies of the reference player in
the other seats, so that every seat is played equally often and an equal player earns 0.25.
"""

from __future__ import annotations

import argparse
from dataclasses import asdict
from pathlib import Path
from typing import Optional

from ..base.atomic import write_json_atomic
from ..engine.constants import BASELINE_MATCH_DIM, FAIR_SHARE
from ..engine.engine_config import engine_config_for
from ..base.errors import UsageError, at_least, readable_file, writable_file
from ..players.pool_options import PoolSettings, open_players
from ..players.reference import parse_players, rotated_games
from ..engine.search_settings import MatchSettings, SearchSettings
from ..players.matches import Measure, against_baseline, play_label, play_modes, separation, untrained_networks

HELP = "play a network against random players and a baseline checkpoint"


def check_trained_dims(args: argparse.Namespace, checkpoints: dict) -> None:
    """Refuses a match on a board other than the one a network was trained for: --dim against
    the checkpoint's board side, and the baseline match (always 20 x 20) for either network."""
    from ..nets.network import checkpoint_dim

    trained = checkpoint_dim(checkpoints[args.checkpoint])
    if args.dim is not None and trained is not None and args.dim != trained and not args.no_random:
        raise UsageError(f"{args.checkpoint} was trained for {trained}x{trained} boards, not --dim {args.dim}: "
                         f"leave out --dim or give --dim {trained}")
    if args.baseline is not None:
        for path, checkpoint in checkpoints.items():
            dim = checkpoint_dim(checkpoint)
            if dim is not None and dim != BASELINE_MATCH_DIM:
                raise UsageError(f"the baseline match plays on {BASELINE_MATCH_DIM}x{BASELINE_MATCH_DIM}, but {path} "
                                 f"was trained for {dim}x{dim}: leave out --baseline")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("checkpoint", type=Path, help="the network to evaluate")
    parser.add_argument("--baseline", type=Path, help="checkpoint to play against (on a 20 x 20 board)")
    parser.add_argument("--games", type=int, default=100, help="games per match")
    parser.add_argument("--dim", type=int, help="board side of the random match (default: the checkpoint's)")
    parser.add_argument("--no-random", action="store_true", help="skip the match against random players")
    parser.add_argument("--json", type=Path, help="also write the results to this JSON file")
    parser.add_argument("--fixed-players", metavar="LIST",
                        help="also play the network in every seat (game n: seat n %% 4) against three of each of "
                             "these reference players: all, none or a comma-separated list of "
                             "random-tiles, random-piece, largest-piece, heuristic; --games rounded up to a "
                             "multiple of 4 (default: all with the batched engine, none with processes)")
    parser.add_argument("--untrained-seeds", type=int, default=0, metavar="K",
                        help="also play K untrained networks of the same architecture (seeds 0 to K-1) "
                             "against random players, as the reference (default none)")
    MatchSettings.add_arguments(parser)
    SearchSettings.add_arguments(parser)
    PoolSettings.add_arguments(parser)


def run(args: argparse.Namespace) -> int:
    from ..nets import network

    at_least("--games", args.games, 1)
    at_least("--untrained-seeds", args.untrained_seeds, 0)
    try:
        settings = PoolSettings.from_args(args)
        match, search = MatchSettings.from_args(args), SearchSettings.from_args(args)
        if args.dim is not None:
            engine_config_for({}, args.dim)
    except (TypeError, ValueError, RuntimeError) as error:
        raise UsageError(str(error)) from error
    if settings.engine != "batched" and (match != MatchSettings() or not search.is_default()):
        raise UsageError("--opening, --match-simulations and the search options need the batched engine: "
                         "leave out --engine processes")
    fixed_players = chosen_fixed_players(args.fixed_players, settings)
    if args.no_random and args.fixed_players is None:
        fixed_players = []  # the default fixed players come with the random match only
    if args.no_random and not args.baseline and not fixed_players:
        raise UsageError("nothing to evaluate: --no-random needs --baseline or --fixed-players")
    for path in (args.checkpoint, args.baseline):
        if path is not None:
            readable_file(path, "network checkpoint")
    if args.json is not None:
        writable_file(args.json, "--json")
    model, checkpoint = network.load_checkpoint(args.checkpoint)
    loaded = {args.checkpoint: checkpoint}
    networks = {"model": model.eval()}
    if args.baseline:
        baseline, loaded[args.baseline] = network.load_checkpoint(args.baseline)
        networks["baseline"] = baseline.eval()
    check_trained_dims(args, loaded)
    engine_config = engine_config_for(checkpoint, args.dim)
    networks.update(untrained_networks(model, args.untrained_seeds))
    results = {
        "checkpoint": str(args.checkpoint),
        "step": checkpoint.get("step"),
        "engine_config": asdict(engine_config),
        "match": match.to_dict(),
        "search": search.to_dict(),
    }
    served = {}
    if not args.no_random:
        measures = random_measures(networks, settings, search, match, engine_config, args, served)
        results["against_random"] = measures[0].summary.to_dict()
        if len(measures) > 1:
            results["measures"] = [m.to_dict() for m in measures]
            results["separation"] = separation(measures)
            print_separation(results["separation"])
    if fixed_players:
        fixed = fixed_measures(networks, settings, search, match, engine_config, args, fixed_players, served)
        results["fixed_players"] = [m.to_dict() for m in fixed]
        results["fixed_separation"] = separation(fixed)
        print_separation(results["fixed_separation"])
    if args.baseline:
        with open_players(networks, settings) as pool:
            summary = against_baseline(pool, engine_config, args.games)
        print(
            f"against {args.baseline} on {BASELINE_MATCH_DIM}x{BASELINE_MATCH_DIM} (fair share {FAIR_SHARE}): "
            f"{summary.describe()}"
        )
        results["baseline"] = str(args.baseline)
        results["against_baseline"] = summary.to_dict()
    if served:
        results["backends"] = served
    if args.json:
        write_json_atomic(args.json, results)
    return 0


def random_measures(networks: dict, settings: PoolSettings, search: SearchSettings, match: MatchSettings,
                    engine_config, args: argparse.Namespace, served: dict) -> list[Measure]:
    """Every network against random players, greedily and (when asked) with search; the
    evaluated network's greedy match first, printed as it always was. `served` learns the
    backend that served each network."""
    size = f"{engine_config.dim}x{engine_config.dim}"
    names = ["model"] + [name for name in networks if name.startswith("untrained")]
    extra = match != MatchSettings() or len(names) > 1
    measures = []
    for mode in play_modes(match):
        with open_players(networks, settings, search=search, match=mode) as pool:
            for name in names:
                payoffs = pool.play_against_random(engine_config, args.games, network=name)
                measure = Measure(network_label(name), play_label(mode), mode.opening, payoffs)
                measures.append(measure)
                summary = measure.summary
                how = f", {measure.play}, opening {mode.opening}" if extra else ""
                who = "" if name == "model" else f"{measure.network} "
                print(f"{who}against random players on {size}{how}: {summary.describe()}")
            note_backends(pool, served)
    return measures


def chosen_fixed_players(text: Optional[str], settings: PoolSettings) -> list[str]:
    """The fixed reference players to measure against: --fixed-players, by default all of them
    with the batched engine (the worker pool cannot play them)."""
    if text is None:
        text = "all" if settings.engine == "batched" else "none"
    try:
        players = parse_players(text)
    except ValueError as error:
        raise UsageError(str(error)) from error
    if players and settings.engine != "batched":
        raise UsageError("--fixed-players needs the batched engine: leave out --engine processes "
                         "or give --fixed-players none")
    return players


def print_separation(rows: list[dict]) -> None:
    for row in rows:
        against = f" against {row['opponents']}" if "opponents" in row else ""
        print(f"{row['play']}{against}: above every untrained seed: {'yes' if row['above_every_seed'] else 'no'}; "
              f"above the pooled untrained networks: {'yes' if row['above_pooled'] else 'no'}")


def fixed_measures(networks: dict, settings: PoolSettings, search: SearchSettings, match: MatchSettings,
                   engine_config, args: argparse.Namespace, players: list[str], served: dict) -> list[Measure]:
    """Every network in every seat against three of each fixed reference player, greedily and
    (when asked) with search. `served` learns the backend that served each network."""
    size = f"{engine_config.dim}x{engine_config.dim}"
    names = ["model"] + [name for name in networks if name.startswith("untrained")]
    games = rotated_games(args.games)
    measures = []
    for mode in play_modes(match):
        with open_players(networks, settings, search=search, match=mode) as pool:
            for player in players:
                for name in names:
                    payoffs = pool.play_against_reference(engine_config, games, player, network=name)
                    measure = Measure(network_label(name), play_label(mode), mode.opening, payoffs,
                                      opponents=player)
                    measures.append(measure)
                    who = "" if name == "model" else f"{measure.network} "
                    print(f"{who}against three {player} players on {size}, seats rotated, {measure.play}, "
                          f"opening {mode.opening}: {measure.summary.describe()}")
            note_backends(pool, served)
    return measures


def network_label(name: str) -> str:
    """How results name a network: "model", "baseline" or "untrained seed N"."""
    return name.replace("-", " seed ")


def note_backends(pool, served: dict) -> None:
    """Records in `served` the backend that served each network the batched engine's `pool`
    played: `auto` picks the fastest, and the games replay only on the same one."""
    for name, backend in getattr(pool, "backends", {}).items():
        if backend != "auto":  # still auto: this pool never ran it
            served[network_label(name)] = backend
