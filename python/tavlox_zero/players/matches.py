"""Matches of networks, summed up: against random players, a baseline network and the fixed
reference players, under each way of playing (greedy, or with search).

The evaluate command and the training loop play their matches through these, whatever
player (`GamePlayer` or the worker pool) plays the games.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Optional

from ..engine.search_settings import MatchSettings
from ..rating.stats import MatchSummary, summarize_payoffs


def against_random(pool, engine_config, games: int, network: str = "model") -> MatchSummary:
    """Seat 0 played by ``network``, seats 1 to 3 by random players."""
    return summarize_payoffs(pool.play_against_random(engine_config, games, network=network))


def against_baseline(pool, engine_config, games: int, model: str = "model", baseline: str = "baseline") -> MatchSummary:
    """Seat 0 played by ``model``, seats 1 to 3 by ``baseline``, on a 20 x 20 board."""
    return summarize_payoffs(pool.play_against_baseline(engine_config, games, model=model, baseline=baseline))


def untrained_networks(model, seeds: int) -> dict:
    """Fresh networks of `model`'s architecture, one per seed 0 to seeds - 1: the initial
    networks of loop runs started with those seeds."""
    from ..nets import network

    config = network.model_config(model)
    return {f"untrained-{seed}": network.new_model(seed, channels=config["channels"], blocks=config["blocks"])
            for seed in range(seeds)}


@dataclass
class Measure:
    """One network's match against random players (seat 0), or against three of one fixed
    reference player with the seats rotated, under one way of playing."""

    network: str
    play: str
    opening: str
    payoffs: list
    opponents: Optional[str] = None

    @property
    def summary(self) -> MatchSummary:
        return summarize_payoffs(self.payoffs)

    def to_dict(self) -> dict:
        fixed = {} if self.opponents is None else {"opponents": self.opponents, "seats": "rotate"}
        return {"network": self.network, "play": self.play, "opening": self.opening, **fixed,
                "summary": self.summary.to_dict()}


def play_modes(match: MatchSettings) -> list[MatchSettings]:
    """Greedy play, and search at the asked number of simulations when there is one."""
    greedy = replace(match, simulations=0)
    return [greedy] if match.simulations == 0 else [greedy, match]


def play_label(match: MatchSettings) -> str:
    return "greedy" if match.simulations == 0 else f"search {match.simulations}"


def separation(measures: list[Measure]) -> list[dict]:
    """For each way of playing: is the evaluated network's payoff interval above the interval
    of every untrained network, and above the pooled one (all untrained games together)?"""
    rows = []
    for play, opponents in dict.fromkeys((m.play, m.opponents) for m in measures):
        alike = [m for m in measures if m.play == play and m.opponents == opponents]
        model = next(m.summary for m in alike if m.network == "model")
        reference = [m for m in alike if m.network.startswith("untrained")]
        if not reference:
            continue
        pooled = summarize_payoffs([p for m in reference for p in m.payoffs])
        rows.append({
            "play": play,
            **({} if opponents is None else {"opponents": opponents}),
            "above_every_seed": all(model.payoff_ci.low > m.summary.payoff_ci.high for m in reference),
            "above_pooled": model.payoff_ci.low > pooled.payoff_ci.high,
            "pooled_untrained": pooled.to_dict(),
        })
    return rows
