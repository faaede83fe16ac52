"""How long a loop's iterations take, and how much of one fits in what is left of a time budget.

An iteration's self-play and training shrink with it; the rest (evaluation, whose time follows
the length of its games more than their number, plots, loading networks) does not.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Optional

from .run_directory import read_json
from .settings import LoopConfig


# A shrunk iteration is planned to end this share of the time left early, for the parts of an
# iteration that do not shrink with it (loading networks, starting engines).
BUDGET_SAFETY = 0.9
# The smallest share of a full iteration worth starting.
MIN_ITERATION_SCALE = 0.25


@dataclass(frozen=True)
class Pace:
    """How long an iteration takes: `scalable` seconds for a full iteration's self-play and
    training, which shrink with it, and `fixed` seconds of the rest (evaluation, whose time
    follows the length of its games more than their number, plots, loading networks)."""

    scalable: float
    fixed: float = 0.0


def iteration_scale(remaining: float, pace: Optional[Pace]) -> Optional[float]:
    """The share of a full iteration that fits in `remaining` seconds at `pace` (None: no
    iteration measured yet, a full one is tried), or None when too little fits."""
    if remaining <= 0:
        return None
    if pace is None:
        return 1.0
    room = BUDGET_SAFETY * remaining - pace.fixed
    if room >= pace.scalable:
        return 1.0
    fits = room / pace.scalable if pace.scalable > 0 else 0.0
    return fits if fits >= MIN_ITERATION_SCALE else None


def iterations_left(by_count: int, remaining: Optional[float], pace: Optional[Pace]) -> int:
    """How many iterations, this one included, a run is planned to last: `by_count`, or fewer
    when a time budget with `remaining` seconds ends them sooner at `pace`."""
    if remaining is None or pace is None or pace.scalable + pace.fixed <= 0:
        return by_count
    fit = math.ceil(BUDGET_SAFETY * remaining / (pace.scalable + pace.fixed))
    return max(1, min(by_count, fit))


class PacePlanning:
    """The pace half of a TrainingLoop: needs its run directory, config and scale."""

    def recorded_pace(self, iteration: int) -> Optional[Pace]:
        """The pace of `iteration` from its record: its self-play and training seconds, and its
        evaluation seconds as the fixed part (None for iteration 0 or without a record)."""
        record = read_json(self.dirs.record(iteration), {}) if iteration > 0 else {}
        parts = [(record.get(step) or {}).get("seconds") for step in ("selfplay", "train", "evaluation")]
        if not all(isinstance(part, (int, float)) for part in parts):
            return None
        return Pace((parts[0] + parts[1]) / (record["selfplay"].get("scale") or 1.0), parts[2])

    def measured_pace(self, iteration: int, seconds: float, scale: float) -> Pace:
        """The pace of an iteration just run in `seconds` at `scale`: its recorded self-play and
        training seconds scale, the rest of the time does not; without a record, all of it scales."""
        recorded = self.recorded_pace(iteration)
        if recorded is None:
            return Pace(seconds / scale)
        scaled = recorded.scalable * scale
        return Pace(recorded.scalable, max(0.0, seconds - scaled))

    def scaled_loop(self) -> LoopConfig:
        """The loop settings of the iteration being run: the run's own, or with fewer self-play
        games, training steps and evaluation games when it is shrunk to fit a time budget."""
        loop = self.config.loop
        if self.scale >= 1.0:
            return loop
        return replace(loop, games_per_iteration=max(1, math.ceil(self.scale * loop.games_per_iteration)),
                       steps_per_iteration=math.ceil(self.scale * loop.steps_per_iteration),
                       eval_games=max(4, math.ceil(self.scale * loop.eval_games)))

    # Iteration 0: the untrained network, measured against random players.
