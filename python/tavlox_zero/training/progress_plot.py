"""The progress plot of a training loop: losses and strength per iteration."""

from __future__ import annotations

import math
import os
from typing import Sequence

from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.ticker import MaxNLocator

from ..base.atomic import atomic_write
from ..engine.constants import FAIR_SHARE


def _series(rows: Sequence[dict], *keys: str) -> tuple[list[int], list[float]]:
    xs, ys = [], []
    for row in rows:
        value = row
        for key in keys:
            value = value.get(key) if isinstance(value, dict) else None
        if isinstance(value, (int, float)) and math.isfinite(value):
            xs.append(row["iteration"])
            ys.append(float(value))
    return xs, ys


def _strength(axes, rows: Sequence[dict], key: str, label: str, **style) -> None:
    points = [(r["iteration"], r[key]) for r in rows if isinstance(r.get(key), dict)]
    if not points:
        return
    xs = [i for i, _ in points]
    means = [s["mean_payoff"] for _, s in points]
    lows = [s["mean_payoff"] - s["payoff_ci"]["low"] for _, s in points]
    highs = [s["payoff_ci"]["high"] - s["mean_payoff"] for _, s in points]
    errors = [[x if math.isfinite(x) else 0.0 for x in lows], [x if math.isfinite(x) else 0.0 for x in highs]]
    axes.errorbar(xs, means, yerr=errors, capsize=3, marker="o", label=label, **style)


def plot_progress(rows: Sequence[dict], path: os.PathLike | str, title: str = "training progress") -> None:
    """Draws the metrics rows (one per iteration) into a PNG, written atomically."""
    figure = Figure(figsize=(10, 4.2), constrained_layout=True)
    FigureCanvasAgg(figure)
    losses, strength = figure.subplots(1, 2)

    for keys, label, style in (
        (("policy_loss",), "policy", {}),
        (("value_loss",), "value", {}),
        (("held_out", "best", "value_loss"), "value, held-out games", {"linestyle": "--"}),
        (("held_out", "best", "constant_value_loss"), "value, constant prediction (held out)",
         {"linestyle": ":", "color": "grey"}),
    ):
        xs, ys = _series(rows, "train", *keys)
        if xs:
            losses.plot(xs, ys, marker="o", label=label, **style)
    losses.set_xlabel("iteration")
    losses.set_ylabel("cross-entropy (mean over the iteration's steps)")
    losses.set_title("training losses")
    losses.grid(alpha=0.3)
    if losses.lines:
        losses.legend(fontsize="small")

    _strength(strength, rows, "candidate_vs_random", "candidate vs 3 random players")
    _strength(strength, rows, "current_vs_random", "current vs 3 random players", linestyle=":", alpha=0.6)
    _strength(strength, rows, "candidate_vs_current", "candidate vs current (one seat, rotating)", linestyle="--")
    for player in dict.fromkeys(p for r in rows for p in (r.get("candidate_vs_fixed") or {})):
        fixed = [{"iteration": r["iteration"], "fixed": r["candidate_vs_fixed"][player]}
                 for r in rows if player in (r.get("candidate_vs_fixed") or {})]
        _strength(strength, fixed, "fixed", f"candidate vs 3 {player} (every seat)", linestyle="-.")
    strength.axhline(FAIR_SHARE, color="grey", linewidth=0.8, linestyle=":", label=f"equal share {FAIR_SHARE}")
    promoted = [r["iteration"] for r in rows if r.get("promoted") and r["iteration"] > 0]
    for i, iteration in enumerate(promoted):
        strength.axvline(iteration, color="green", alpha=0.25, label="promoted" if i == 0 else None)
    strength.set_xlabel("iteration")
    strength.set_ylabel("mean payoff (95% CI)")
    strength.set_title("strength")
    strength.grid(alpha=0.3)
    strength.legend(fontsize="small")
    for axes in (losses, strength):
        axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    figure.suptitle(title)

    with atomic_write(path) as f:
        figure.savefig(f, format="png", dpi=110)
