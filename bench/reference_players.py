"""What the fixed reference players earn against each other, seat by seat (no network).

Each reference player sits in seat game % 4 against three copies of another (or of itself);
the table gives its mean payoff in each seat and over all seats with the 95% interval.
A player against three copies of itself earns 0.25 over all seats; its per-seat figures
are the par of each seat.

    python bench/reference_players.py --dim 9 --games 4000
"""

from __future__ import annotations

import argparse
import time

from tavlox_zero.engine.engine_config import EngineConfig
from tavlox_zero.players.reference import reference_payoffs
from tavlox_zero.engine.search_settings import reference_players
from tavlox_zero.rating.stats import summarize_payoffs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dim", type=int, default=9)
    parser.add_argument("--games", type=int, default=4000, help="games per pairing, a multiple of 4")
    parser.add_argument("--opening", default="none", help="none, first-tile or random:K")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    config = EngineConfig(dim=args.dim)
    names = reference_players()
    print(f"{args.dim}x{args.dim}, {args.games} games per pairing, opening {args.opening}\n")
    print("| player | opponents (three) | seat 0 | seat 1 | seat 2 | seat 3 | all seats (95% interval) |")
    print("|---|---|---|---|---|---|---|")
    started = time.perf_counter()
    for subject in names:
        for opponents in names:
            payoffs = reference_payoffs(config, args.games, subject, opponents, opening=args.opening,
                                        seed=args.seed)
            seats = [sum(payoffs[seat::4]) / len(payoffs[seat::4]) for seat in range(4)]
            summary = summarize_payoffs(payoffs)
            print(f"| {subject} | {opponents} | " + " | ".join(f"{s:.3f}" for s in seats)
                  + f" | {summary.mean_payoff:.3f} [{summary.payoff_ci.low:.3f}, {summary.payoff_ci.high:.3f}] |")
    print(f"\n{len(names) ** 2 * args.games} games in {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
