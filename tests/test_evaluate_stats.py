"""Evaluation statistics: payoff means, win rates and their intervals."""

import math
import statistics

import pytest

pytest.importorskip("torch")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from tavlox_zero.players.matches import against_baseline, against_random  # noqa: E402
from tavlox_zero.rating.stats import mean_interval, summarize_payoffs, wilson_interval  # noqa: E402


class StubPool:
    """Stands in for the worker pool: every match returns a known list of payoffs."""

    def __init__(self, payoffs):
        self.payoffs = list(payoffs)
        self.calls = []

    def play_against_random(self, engine_config, n_games, network="model"):
        self.calls.append(("random", n_games, network))
        return self.payoffs[:n_games]

    def play_against_baseline(self, engine_config, n_games, model="model", baseline="baseline"):
        self.calls.append(("baseline", n_games, model, baseline))
        return self.payoffs[:n_games]


PAYOFFS = (0.0, 0.25, 1 / 3, 0.5, 1.0)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(PAYOFFS) | st.floats(0.0, 1.0), min_size=2, max_size=400))
def test_mean_interval_stays_in_the_payoff_range_and_is_normal_far_from_it(values):
    mean, interval = mean_interval(values)
    assert mean == pytest.approx(statistics.fmean(values))
    assert 0.0 <= interval.low <= mean <= interval.high <= 1.0, f"{interval} for mean {mean}"
    half = 1.96 * statistics.stdev(values) / math.sqrt(len(values))
    if 0 < half < min(mean, 1 - mean) / 3:
        # Wilson's centre moves towards 1/2 by at most z²/2 over the effective games (n - 1 or more).
        assert (interval.low, interval.high) == pytest.approx((mean - half, mean + half), abs=2.5 / len(values))


def test_mean_interval_edge_cases():
    mean, interval = mean_interval([0.25] * 5)
    assert (interval.low, interval.high) == pytest.approx((0.25, 0.25)), "constant payoffs leave no doubt"
    _, single = mean_interval([1.0])
    assert (single.low, single.high) == (0.0, 1.0), "one game says nothing about the spread"
    _, losses = mean_interval([0.0] * 10)
    assert losses.low == 0.0 and 0.0 < losses.high < 0.35, f"ten losses: {losses}"
    with pytest.raises(ValueError):
        mean_interval([])


@pytest.mark.parametrize("successes,trials", [(0, 10), (3, 10), (10, 10), (1, 1), (57, 200)])
def test_wilson_bounds_solve_the_score_equation(successes, trials):
    interval = wilson_interval(successes, trials)
    p_hat, z = successes / trials, 1.96
    assert 0.0 <= interval.low <= p_hat <= interval.high <= 1.0
    for bound in (interval.low, interval.high):
        if 0.0 < bound < 1.0:
            # A Wilson bound p is where the observed rate is exactly z standard errors away.
            assert (p_hat - bound) ** 2 == pytest.approx(z * z * bound * (1 - bound) / trials, rel=1e-9)
    mirrored = wilson_interval(trials - successes, trials)
    assert (mirrored.low, mirrored.high) == pytest.approx((1 - interval.high, 1 - interval.low))


def test_wilson_rejects_impossible_counts():
    with pytest.raises(ValueError):
        wilson_interval(3, 0)
    with pytest.raises(ValueError):
        wilson_interval(4, 3)


def test_summary_counts_sole_and_shared_wins_separately():
    payoffs = [1.0, 0.0, 0.5, 1.0, 0.25, 0.0, 0.0, 1 / 3]
    summary = summarize_payoffs(payoffs)
    assert summary.games == 8
    assert summary.wins == 2 and summary.shared_wins == 3
    assert summary.win_rate == pytest.approx(2 / 8)
    assert summary.mean_payoff == pytest.approx(sum(payoffs) / 8)
    assert summary.mean_payoff in summary.payoff_ci and summary.win_rate in summary.win_ci
    with pytest.raises(ValueError):
        summarize_payoffs([0.5, 1.5])


def test_matches_summarise_what_the_stub_pool_returns():
    sole_winner = StubPool([1.0] * 30)
    summary = against_random(sole_winner, engine_config=None, games=30, network="baseline")
    assert sole_winner.calls == [("random", 30, "baseline")]
    assert summary.mean_payoff == 1.0 and summary.win_rate == 1.0
    assert summary.win_ci.low > 0.85, f"30 wins in 30 games should put the win rate above 0.85: {summary.win_ci}"

    equal = StubPool([0.25] * 12)
    summary = against_baseline(equal, engine_config=None, games=12)
    assert equal.calls == [("baseline", 12, "model", "baseline")]
    assert summary.mean_payoff == 0.25 and summary.wins == 0 and summary.shared_wins == 12
    assert summary.win_ci.low == 0.0
