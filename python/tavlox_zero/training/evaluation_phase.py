"""The evaluation phase of a loop iteration: the candidate against random players, the fixed
reference players and, for promotion, the current network (see loop.py)."""

from __future__ import annotations

import time

from ..engine.search_settings import MatchSettings
from ..players.matches import against_random
from ..rating.sprt import ACCEPT_H1, SequentialTest
from ..rating.stats import summarize_payoffs
from ..players.reference import parse_players, rotated_games
from .settings import RunConfig, promotion_test


def evaluation_match(config: "RunConfig") -> MatchSettings:
    """How the evaluation matches play: searched as self-play searches (the network's strength
    as an agent, which its greedy policy alone can misjudge either way), from two random
    tiles, because play from the empty board repeats the same few games in every batch,
    which a sequential test would count as new."""
    simulations = config.loop.eval_simulations
    if simulations is None:
        simulations = int(config.engine["sims_per_move"])
    return MatchSettings(simulations=simulations, opening="random:2")


def beats_current(test: SequentialTest, margin: float) -> bool:
    """The promotion rule: the head-to-head test accepted H1 (a negative margin promotes always)."""
    return margin < 0 or test.decision == ACCEPT_H1


class EvaluationPhase:
    """The evaluation half of a TrainingLoop: needs its engine config, config, pool and log."""

    def evaluate(self, iteration: int) -> tuple[dict, bool]:
        started = time.monotonic()
        engine, loop = self.engine_config, self.scaled_loop()
        networks = {"model": self.load(self.dirs.candidate(iteration)), "baseline": self.load(self.dirs.current)}
        result = {}
        test, payoffs = promotion_test(loop), []
        # A fixed game seed would replay the same games in every batch: then one batch holds them all.
        batch = loop.eval_games if self.pool.game_seed is not None else loop.promotion_batch
        with self.open_players(networks, match=evaluation_match(self.config)) as pool:
            candidate = against_random(pool, engine, loop.eval_games, network="model")
            result["candidate_vs_random"] = candidate.to_dict()
            self.log(f"iteration {iteration}: candidate against random players {candidate.describe()}")
            fixed = self.against_fixed_players(pool, iteration)
            if fixed:
                result["candidate_vs_fixed"] = fixed
            while test.decision is None and test.games < loop.eval_games:
                played = pool.play_head_to_head(engine, min(batch, loop.eval_games - test.games),
                                                first="model", second="baseline")
                counted = test.games
                test.extend(played)
                payoffs += list(played)[:test.games - counted]
        match = summarize_payoffs(payoffs)
        result["candidate_vs_current"] = {**match.to_dict(), "sprt": test.to_dict()}
        self.log(f"iteration {iteration}: candidate against the current network {match.describe()}; "
                 f"test {test.decision or 'undecided'} (LLR {test.llr:.2f} in [{test.bounds[0]:.2f}, "
                 f"{test.bounds[1]:.2f}])")
        promoted = beats_current(test, loop.promotion_margin)
        result["seconds"] = time.monotonic() - started
        self.log(f"iteration {iteration}: {'promoted the candidate' if promoted else 'kept the current network'}")
        return result, promoted

    def against_fixed_players(self, pool, iteration: int) -> dict:
        """The candidate ("model") in every seat in turn against three of each fixed reference
        player: {player: summary}."""
        games = rotated_games(self.scaled_loop().eval_games)
        results = {}
        for player in parse_players(self.config.loop.fixed_players):
            summary = summarize_payoffs(pool.play_against_reference(self.engine_config, games, player))
            self.log(f"iteration {iteration}: candidate against three {player} players, seats rotated, "
                     f"{summary.describe()}")
            results[player] = summary.to_dict()
        return results
