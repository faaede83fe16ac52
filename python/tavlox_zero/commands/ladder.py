"""Elo ratings of a loop run's checkpoints from head-to-head games (the `ladder` command).

The checkpoints are the run's candidates, checkpoints/iter_NNNN.pt; iteration 0 is the
untrained network, the anchor at 0 Elo. Each pair of checkpoints plays head to head in
both directions: `--games` games with the one in one seat (rotating through the four) and
the other in the other three, then the same with the two swapped. With more than
`--all-pairs-up-to` checkpoints, each plays only its neighbour and the first, which still
connects them all. Moves are chosen by a search of `--simulations` simulations without
noise, searching as the run's self-play did (its root, first-play urgency and play-outs;
any of them given here replaces the run's), and the games open with `--opening` (default
two random tiles: searched play from one opening repeats nearly the same game, which the
intervals would count as new evidence).

The fixed reference players (players/reference.py, `--fixed-players`, default all) join the ladder as
yardsticks that do not change with the run: every checkpoint plays in every seat in turn
against three copies of each, and the reference players play each other the same way (no
network involved, so those games cost little). Their ratings tie the scale to players any
run can meet; `--anchor` puts any of them, or any checkpoint, at 0 Elo instead of iteration 0.

The ratings are fitted by maximum likelihood over all games (elo.py) with 95% bootstrap
intervals, and written as RUN/ladder.json (settings, every game's payoff, ratings),
RUN/ladder.csv and RUN/ladder.png, or under another `--name` (a ladder of other settings
beside the first). The json is rewritten after each finished match, so a stopped ladder
keeps its games, and a later one with the same settings plays only the matches missing (a
checkpoint is known by the SHA-256 of its file).
"""

from __future__ import annotations

import argparse
import csv
import hashlib
import io
import json
import re
from pathlib import Path
from typing import Callable, Optional

from ..base.atomic import atomic_write, write_json_atomic
from ..rating.elo import Rating, head_to_head, rate
from ..base.errors import CommandFailed, UsageError, at_least
from ..engine.engine_config import EngineConfig
from ..engine.search_settings import SEARCH, MatchSettings, SearchSettings
from ..players.pool_options import PoolSettings, open_players
from ..players.reference import parse_players, reference_payoffs
from ..training.scalars import ScalarLog
from ..base.settings import add_deprecated_alias

HELP = "rate a loop run's checkpoints by Elo from head-to-head games"

CHECKPOINT = re.compile(r"iter_(\d+)\.pt")
# Every ladder file starts with "ladder", so no name can overwrite the run's config.json or state.json.
LADDER_NAME = re.compile(r"ladder[A-Za-z0-9_.-]*")
# The search options that change how a match is played; self-play's budgets are not among them.
MATCH_SEARCH = ("root", "fpu_reduction", "gumbel_actions", "c_visit", "c_scale", "rollout_weight", "rollout_player",
                "rollouts", "rollout_temperature")


def find_checkpoints(run_dir: Path) -> list[tuple[str, int, Path]]:
    """(name, iteration, path) of each candidate checkpoint of a run, by iteration."""
    found = []
    for path in (run_dir / "checkpoints").glob("iter_*.pt"):
        match = CHECKPOINT.fullmatch(path.name)
        if match:
            found.append((path.stem, int(match.group(1)), path))
    return sorted(found, key=lambda item: item[1])


def pairs_to_play(count: int, all_pairs_up_to: int) -> list[tuple[int, int]]:
    """Every pair of `count` checkpoints, or with more than `all_pairs_up_to`, each with its
    neighbour and with the first."""
    if count <= all_pairs_up_to:
        return [(a, b) for a in range(count) for b in range(a + 1, count)]
    return sorted({(i, i + 1) for i in range(count - 1)} | {(0, i) for i in range(2, count)})


def digest(path: Path) -> str:
    sha = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            sha.update(block)
    return sha.hexdigest()


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("run_dir", type=Path, help="directory of a loop run")
    parser.add_argument("--games", type=int, default=48,
                        help="games of each direction of a pair, a multiple of 4 so that every seat is played "
                             "equally often (default %(default)s)")
    parser.add_argument("--match-simulations", dest="simulations", type=int, default=32,
                        help="search simulations per move, without noise; 0 plays greedily on the policy "
                             "(default %(default)s)")
    add_deprecated_alias(parser, "--simulations", "--match-simulations", {"dest": "simulations", "type": int})
    parser.add_argument("--opening", default="random:2",
                        help="openings of the games: none, first-tile or random:K (default %(default)s)")
    parser.add_argument("--all-pairs-up-to", type=int, default=8,
                        help="with more checkpoints, each plays only its neighbour and the first "
                             "(default %(default)s)")
    parser.add_argument("--fixed-players", default="all", metavar="LIST",
                        help="reference players rated with the checkpoints: all, none or a comma-separated list of "
                             "random-tiles, random-piece, largest-piece, heuristic (default %(default)s)")
    parser.add_argument("--anchor", metavar="NAME",
                        help="the player rated 0 Elo: a checkpoint (iter_NNNN) or a fixed player "
                             "(default: the first checkpoint)")
    parser.add_argument("--bootstrap", type=int, default=200,
                        help="bootstrap samples of the intervals (default %(default)s)")
    parser.add_argument("--name", default="ladder",
                        help="the ladder's files in the run directory: NAME.json, NAME.csv, NAME.png; NAME "
                             "starts with 'ladder' (default %(default)s)")
    group = parser.add_argument_group("search of the matches (default: as the run's self-play searched)")
    SEARCH.add_arguments(parser, group=group, only=MATCH_SEARCH, unset=True)
    PoolSettings.add_arguments(parser)


def check_arguments(args: argparse.Namespace):
    """The run's engine configuration and search settings, checkpoints and match settings;
    UsageError on a mistake."""
    at_least("--games", args.games, 4)
    if args.games % 4:
        raise UsageError(f"--games must be a multiple of 4, so that every seat is played equally often, "
                         f"got {args.games}")
    at_least("--match-simulations", args.simulations, 0)
    at_least("--all-pairs-up-to", args.all_pairs_up_to, 2)
    at_least("--bootstrap", args.bootstrap, 0)
    if not LADDER_NAME.fullmatch(args.name):
        raise UsageError(f"--name must be a plain file name that starts with 'ladder' (letters, digits, '_', '.' "
                         f"and '-' after it), got {args.name!r}")
    if not args.run_dir.is_dir():
        raise UsageError(f"{args.run_dir}: no such run directory")
    try:
        saved = json.loads((args.run_dir / "config.json").read_text())
        engine = EngineConfig.from_dict(saved["engine"])
        run_search = SearchSettings.from_dict(saved.get("search")).to_dict()
    except FileNotFoundError as error:
        raise UsageError(f"{args.run_dir}: not a loop run directory (no config.json)") from error
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise CommandFailed(f"{args.run_dir / 'config.json'}: not a readable run configuration ({error})") from error
    checkpoints = find_checkpoints(args.run_dir)
    if len(checkpoints) < 2:
        raise UsageError(f"{args.run_dir}: a ladder needs at least two checkpoints (checkpoints/iter_NNNN.pt), "
                         f"found {len(checkpoints)}")
    try:
        given = {name: getattr(args, name) for name in MATCH_SEARCH if getattr(args, name) is not None}
        search = SearchSettings.from_dict({**run_search, **given})
        match = MatchSettings.from_dict(MatchSettings(simulations=args.simulations, opening=args.opening).to_dict())
        pool = PoolSettings.from_args(args)
        fixed = parse_players(args.fixed_players)
    except (TypeError, ValueError, RuntimeError) as error:
        raise UsageError(str(error)) from error
    if fixed and pool.engine != "batched":
        raise UsageError("--fixed-players needs the batched engine: leave out --engine processes "
                         "or give --fixed-players none")
    players = [name for name, _, _ in checkpoints] + fixed
    if args.anchor is not None and args.anchor not in players:
        raise UsageError(f"--anchor {args.anchor} is none of the rated players: {', '.join(players)}")
    return engine, search, checkpoints, match, pool, fixed


def fixed_digest(name: str) -> str:
    """What stands for a fixed player's file: its name and the version of its play."""
    return f"reference player {name}, version 1"


def previous_games(path: Path, settings: dict, digests: dict) -> dict:
    """The finished matches of an earlier ladder with the same settings and checkpoint files:
    {(first, second): payoffs}."""
    try:
        saved = json.loads(path.read_text())
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as error:
        raise CommandFailed(f"{path}: not a readable ladder ({error}); remove it to start again") from error
    if saved.get("settings") != settings:
        return {}
    known = {**saved.get("checkpoints", {}), **saved.get("fixed_players", {})}
    games = {}
    for entry in saved.get("matches", []):
        first, second = entry["first"], entry["second"]
        if all(name in digests and known.get(name, {}).get("sha256") == digests[name] for name in (first, second)):
            games[(first, second)] = [float(p) for p in entry["payoffs"]]
    return games


def run(args: argparse.Namespace) -> int:
    engine, search, checkpoints, match, pool_settings, fixed = check_arguments(args)
    run_dir: Path = args.run_dir
    settings = {"games": args.games, "match": match.to_dict(), "engine": engine.to_dict(), "search": search.to_dict()}
    names = [name for name, _, _ in checkpoints]
    iterations = {name: iteration for name, iteration, _ in checkpoints}
    digests = {name: digest(path) for name, _, path in checkpoints}
    digests.update({name: fixed_digest(name) for name in fixed})
    json_path = run_dir / f"{args.name}.json"
    games = previous_games(json_path, settings, digests)
    wanted = [(names[a], names[b]) for a, b in pairs_to_play(len(names), args.all_pairs_up_to)]
    wanted = [direction for a, b in wanted for direction in ((a, b), (b, a))]
    wanted += [(name, player) for player in fixed for name in names]
    wanted += [(a, b) for a in fixed for b in fixed if a != b]
    missing = [direction for direction in wanted if direction not in games]
    games = {direction: games[direction] for direction in wanted if direction in games}

    def save(ratings: Optional[list[Rating]] = None) -> None:
        write_json_atomic(json_path, {
            "settings": settings,
            "checkpoints": {name: {"iteration": iterations[name], "sha256": digests[name]} for name in names},
            "fixed_players": {name: {"sha256": digests[name]} for name in fixed},
            "matches": [{"first": a, "second": b, "payoffs": p} for (a, b), p in games.items()],
            "ratings": [r.to_dict() for r in ratings] if ratings is not None else None,
        })

    if missing:
        print(f"{len(wanted) - len(missing)} of {len(wanted)} matches already played; playing "
              f"{len(missing)} matches of {args.games} games ({match.describe()})")
        play_missing(args, missing, games, checkpoints, fixed, engine, search, match, pool_settings, save)
    encounters = [head_to_head(a, b, p) for (a, b), p in games.items()]
    anchor = args.anchor or names[0]
    ratings = rate(names + fixed, encounters, anchor=anchor, bootstrap=args.bootstrap)
    save(ratings)
    write_elo_scalars(run_dir / "tensorboard", ratings, iterations, anchor, args.name)
    csv_path, png_path = run_dir / f"{args.name}.csv", run_dir / f"{args.name}.png"
    table = write_table(csv_path, ratings, iterations)
    plot_ladder(png_path, ratings, iterations, f"{run_dir.name}: Elo against {anchor}")
    print(table, end="")
    print(f"wrote {json_path}, {csv_path}, {png_path}")
    return 0


def play_missing(args, missing: list, games: dict, checkpoints: list, fixed: list, engine, search, match,
                 pool_settings: PoolSettings, save: Callable[[], None]) -> None:
    """Plays the missing matches, cheapest first, saving after each: the fixed players among
    themselves (no network), then the checkpoints against them and against each other."""
    from ..nets import network

    def record(first: str, second: str, payoffs) -> None:
        games[(first, second)] = [float(p) for p in payoffs]
        save()
        print(f"{first} in one seat against {second} in three: mean payoff {sum(payoffs) / len(payoffs):.3f}")

    for first, second in [d for d in missing if d[0] in fixed]:
        record(first, second, reference_payoffs(engine, args.games, first, second, opening=match.opening,
                                                seed=pool_settings.game_seed))
    networked = [d for d in missing if d[0] not in fixed]
    if not networked:
        return
    needed = {name for direction in networked for name in direction}
    networks = {name: network.load_checkpoint(path)[0].eval() for name, _, path in checkpoints if name in needed}
    with open_players(networks, pool_settings, search=search, match=match) as pool:
        for first, second in sorted(networked, key=lambda d: d[1] not in fixed):
            if second in fixed:
                payoffs = pool.play_against_reference(engine, args.games, second, network=first)
            else:
                payoffs = pool.play_head_to_head(engine, args.games, first=first, second=second)
            record(first, second, payoffs)


def write_elo_scalars(directory: Path, ratings: list[Rating], iterations: dict, anchor: str, name: str) -> None:
    """The ratings as TensorBoard scalars beside the run's, tagged by the ladder's name: the
    checkpoints' Elo by iteration, each fixed player's as a level line over the same iterations."""
    steps = sorted(iterations.values())
    with ScalarLog(directory) as scalars:
        for rating in ratings:
            if rating.name in iterations:
                scalars.add(f"{name}/elo_vs_{anchor}/checkpoints", rating.elo, iterations[rating.name])
                continue
            for step in (steps[0], steps[-1]):
                scalars.add(f"{name}/elo_vs_{anchor}/{rating.name}", rating.elo, step)


def write_table(path: Path, ratings: list[Rating], iterations: dict) -> str:
    """Writes the ratings as CSV and returns them as an aligned text table."""
    rows = [(r.name, iterations.get(r.name, ""), f"{r.elo:.1f}", f"{r.low:.1f}", f"{r.high:.1f}", r.games)
            for r in ratings]
    header = ("checkpoint", "iteration", "elo", "low", "high", "games")
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(header)
    writer.writerows(rows)
    with atomic_write(path, "w") as file:
        file.write(buffer.getvalue())
    widths = [max(len(str(row[i])) for row in (header, *rows)) for i in range(len(header))]
    return "".join("  ".join(str(v).rjust(w) for v, w in zip(row, widths)) + "\n" for row in (header, *rows))


def plot_ladder(path: Path, ratings: list[Rating], iterations: dict, title: str) -> None:
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    figure = Figure(figsize=(6.4, 4.2), constrained_layout=True)
    FigureCanvasAgg(figure)
    axes = figure.subplots()
    rated = [r for r in ratings if r.name in iterations]
    xs = [iterations[r.name] for r in rated]
    ys = [r.elo for r in rated]
    errors = [[r.elo - r.low for r in rated], [r.high - r.elo for r in rated]]
    axes.errorbar(xs, ys, yerr=errors, capsize=3, marker="o", label="checkpoints")
    for index, fixed in enumerate(r for r in ratings if r.name not in iterations):
        colour = f"C{index + 1}"
        axes.axhline(fixed.elo, color=colour, linestyle="--", linewidth=1, label=fixed.name)
        axes.axhspan(fixed.low, fixed.high, color=colour, alpha=0.08)
    if len(rated) < len(ratings):
        axes.legend(fontsize="small")
    axes.set_xlabel("iteration")
    axes.set_ylabel("Elo (95% bootstrap interval)")
    axes.set_title(title)
    axes.grid(alpha=0.3)
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    with atomic_write(path) as file:
        figure.savefig(file, format="png", dpi=110)
