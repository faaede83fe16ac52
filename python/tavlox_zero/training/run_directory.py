"""A loop run's directory: the names of its files, its saved settings, and the bookkeeping
of a finished iteration (metrics.jsonl, progress.png, TensorBoard scalars, state.json).
Every file is written atomically."""

from __future__ import annotations

import json
import math
import os
from datetime import datetime, timezone
from pathlib import Path
from typing import Optional

from ..base.atomic import atomic_write, write_json_atomic
from ..base.config_file import toml_text
from ..base.errors import CommandFailed
from ..engine.search_settings import SEARCH
from .progress_plot import plot_progress
from ..rating.elo import ELO_PER_NEPER, pairwise_score
from .scalars import ScalarLog
from .settings import RUN_SETTINGS, RunConfig


def read_json(path: Path, default=None):
    try:
        return json.loads(path.read_text())
    except FileNotFoundError:
        return default


def read_metrics(path: Path) -> list[dict]:
    """The rows of a metrics file, skipping a line left incomplete by a stop."""
    rows = []
    if path.exists():
        for line in path.read_text().splitlines():
            try:
                rows.append(json.loads(line))
            except json.JSONDecodeError:
                continue
    return rows


def now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="seconds")


class RunDirectory:
    """Names of the files of one run."""

    def __init__(self, root: os.PathLike | str) -> None:
        self.root = Path(root)
        self.config = self.root / "config.json"
        # The same settings as options of `loop --config` (see save_run_config).
        self.config_toml = self.root / "config.toml"
        self.state = self.root / "state.json"
        self.shards = self.root / "shards"
        self.checkpoints = self.root / "checkpoints"
        self.iterations = self.root / "iterations"
        self.metrics = self.root / "metrics.jsonl"
        self.plot = self.root / "progress.png"
        self.tensorboard = self.root / "tensorboard"
        self.current = self.checkpoints / "current.pt"
        self.trainer = self.checkpoints / "trainer.pt"

    def make(self) -> None:
        for folder in (self.shards, self.checkpoints, self.iterations):
            folder.mkdir(parents=True, exist_ok=True)

    def candidate(self, iteration: int) -> Path:
        return self.checkpoints / f"iter_{iteration:04d}.pt"

    def record(self, iteration: int) -> Path:
        return self.iterations / f"iter_{iteration:04d}.json"

    def shard(self, iteration: int, chunk: int) -> Path:
        return self.shards / f"iter_{iteration:04d}_{chunk:03d}.npz"

    def shards_of(self, iteration: int) -> list[Path]:
        return sorted(self.shards.glob(f"iter_{iteration:04d}_*.npz"))


def save_run_config(dirs: RunDirectory, config: RunConfig) -> None:
    """Writes the run's settings: config.json, which the run resumes from, and config.toml, the
    same settings keyed by option, which `loop --config` reads to start another run like it."""
    write_json_atomic(dirs.config, config.to_dict())
    sections = config.sections()
    toml = {section: {} for section in ("engine", "search", "loop", "train")}
    for section, setting in RUN_SETTINGS:
        # steps_per_iteration 0 means "from --sample-reuse", which --steps says by its absence.
        value = sections[section].get(setting.name)
        if (setting.name, value) != ("steps_per_iteration", 0):
            toml[section][setting.option_name.lstrip("-")] = value
    for setting in SEARCH.settings:
        toml["search"][setting.option_name.lstrip("-")] = config.search.get(setting.name, setting.default)
    text = toml_text(toml, [f"The settings of {dirs.root}, for tavlox-zero loop --config."])
    with atomic_write(dirs.config_toml, "w") as file:
        file.write(text)


def read_run_config(path: Path) -> Optional[RunConfig]:
    """A run directory's saved settings, or None when it holds none."""
    try:
        return RunConfig.from_dict(json.loads(path.read_text()))
    except FileNotFoundError:
        return None
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        raise CommandFailed(f"{path}: not a readable run configuration ({error}); "
                            f"repair it or start a new run in another directory") from error


def write_iteration_scalars(scalars: ScalarLog, row: dict) -> None:
    """One metrics row as TensorBoard scalars at step = iteration: losses, held-out losses,
    self-play positions/s, the payoff against random players (seat 0) and against each fixed
    player (seats rotated) with the Elo difference it implies, and the promotion test."""
    iteration = row["iteration"]
    train = row.get("train") or {}
    scalars.add_all("iteration/train", train, iteration, "loss", "policy_loss", "value_loss", "learning_rate")
    best = (train.get("held_out") or {}).get("best") or {}
    scalars.add_all("iteration/held_out", best, iteration, "loss", "policy_loss", "value_loss", "constant_value_loss")
    selfplay = row.get("selfplay") or {}
    if selfplay.get("seconds"):
        scalars.add("iteration/selfplay_positions_per_second", selfplay["positions"] / selfplay["seconds"], iteration)
    scalars.add("iteration/vs_random_seat0", (row.get("candidate_vs_random") or {}).get("mean_payoff"), iteration)
    for player, summary in (row.get("candidate_vs_fixed") or {}).items():
        scalars.add(f"iteration/vs_fixed/{player}", summary["mean_payoff"], iteration)
        scalars.add(f"iteration/elo_vs_fixed/{player}", elo_against_three(summary["mean_payoff"]), iteration)
    current = row.get("candidate_vs_current") or {}
    scalars.add("iteration/promotion/vs_current", current.get("mean_payoff"), iteration)
    scalars.add("iteration/promotion/llr", (current.get("sprt") or {}).get("llr"), iteration)
    scalars.add("iteration/promotion/promoted", row.get("promoted"), iteration)
    scalars.flush()


def elo_against_three(mean_payoff: float) -> Optional[float]:
    """The Elo difference to a player that a mean payoff against three copies of it implies
    (elo.py's model), or None at 0 or 1."""
    score = pairwise_score(mean_payoff)
    return ELO_PER_NEPER * math.log(score / (1.0 - score)) if 0.0 < score < 1.0 else None


class Bookkeeping:
    """The bookkeeping half of a TrainingLoop: needs its run directory, config and scalars."""

    def finish(self, iteration: int, record: dict, current: int) -> None:
        row = {"iteration": iteration, "finished": now(), "promoted": record["promoted"], "current": current}
        row.update({key: record[key] for key in ("selfplay", "train") if key in record})
        evaluation = dict(record["evaluation"])
        row["evaluation_seconds"] = evaluation.pop("seconds", None)
        row.update(evaluation)
        rows = [r for r in read_metrics(self.dirs.metrics) if r.get("iteration", -1) < iteration] + [row]
        with atomic_write(self.dirs.metrics, "w") as f:
            f.write("".join(json.dumps(r) + "\n" for r in rows))
        plot_progress(rows, self.dirs.plot, title=f"{self.dirs.root.name}: board {self.config.engine['dim']}")
        write_iteration_scalars(self.scalars, row)
        write_json_atomic(self.dirs.state, {"completed_iterations": iteration, "current": current})
