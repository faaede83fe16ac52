"""The training phase of a loop iteration: the window of shards it trains on, its steps, and
the trainer resumed from the run's trainer checkpoint."""

from __future__ import annotations

import math
import time
from dataclasses import replace
from pathlib import Path
from typing import Optional

import numpy as np
import torch

from ..base.atomic import copy_atomic
from ..data.dataset import TrainingDataset
from .batches import Subset, WithValues, dataset_key, holdout_key, split_positions
from .run_directory import read_json
from .trainer import Trainer


def newest_shards(shards: list[tuple[int, int]], iteration: int, window: int, positions: int) -> list[int]:
    """Which of the shards, given oldest first as (iteration, positions), iteration `iteration`
    trains on: its own, then older ones newest first while fewer than `positions` positions
    are chosen (0: no limit), none older than `window` iterations. Indices, oldest first."""
    chosen, total = [], 0
    for index in reversed(range(len(shards))):
        shard_iteration, size = shards[index]
        if shard_iteration > iteration:
            continue
        if shard_iteration <= iteration - window or (shard_iteration < iteration and positions and total >= positions):
            break
        chosen.append(index)
        total += size
    return chosen[::-1]


def recorded_positions(path: Path) -> int:
    """Positions of a shard with a recorded policy (the ones training uses)."""
    with np.load(path, allow_pickle=False) as shard:
        return int(np.count_nonzero(np.diff(shard["policy_offsets"]) > 0))


def scheduled_weight(first: float, last: Optional[float], iteration: int, final_iteration: int) -> float:
    """The search values' share of the value targets at `iteration`: `first` at iteration 1,
    moving linearly to `last` at `final_iteration` (None: `first` throughout)."""
    if last is None:
        return first
    progress = 1.0 if final_iteration <= 1 else min(1.0, (iteration - 1) / (final_iteration - 1))
    return first + (last - first) * progress


def value_estimator(model: torch.nn.Module):
    """The network's value probabilities of float planes (B, 5, d, d), mover's view, as NumPy."""
    device = next(model.parameters()).device

    def estimate(planes: np.ndarray) -> np.ndarray:
        was_training = model.training
        model.eval()
        try:
            with torch.no_grad():
                _, logits = model(torch.from_numpy(planes).to(device))
            return torch.softmax(logits.float(), dim=1).cpu().numpy()
        finally:
            model.train(was_training)

    return estimate


class TrainingPhase:
    """The training half of a TrainingLoop: needs its run directory, config, pool and scalars."""

    def window(self, iteration: int) -> list[Path]:
        loop = self.config.loop
        first = max(1, iteration - loop.window + 1)
        shards = [(i, p) for i in range(first, iteration + 1) for p in self.dirs.shards_of(i)]
        sizes = [(i, recorded_positions(p) if loop.window_positions else 0) for i, p in shards]
        return [shards[k][1] for k in newest_shards(sizes, iteration, loop.window, loop.window_positions)]

    def steps(self, new_positions: int) -> int:
        loop = self.scaled_loop()
        if loop.steps_per_iteration:
            return loop.steps_per_iteration
        return max(1, math.ceil(loop.sample_reuse * new_positions / self.config.train.batch_size))

    def last_iteration(self, iteration: int) -> int:
        """The run's last iteration as planned at `iteration`: the last that fits the time
        budget, else --iterations."""
        return iteration - 1 + (self.iterations_left or max(1, self.config.loop.iterations - iteration + 1))

    def search_value_weight(self, iteration: int) -> float:
        loop = self.config.loop
        return scheduled_weight(loop.search_value_weight, loop.search_value_weight_final, iteration,
                                self.last_iteration(iteration))

    def with_value_targets(self, dataset: TrainingDataset, model: torch.nn.Module, iteration: int):
        """The data set with the value targets the run asks for (the payoffs unless told otherwise)."""
        loop = self.config.loop
        if loop.td_lambda < 1:
            return WithValues(dataset, dataset.bootstrapped_values(
                value_estimator(model), loop.td_lambda, self.value_estimates, temperature=loop.value_temperature))
        weight = self.search_value_weight(iteration)
        if weight > 0:
            return WithValues(dataset, dataset.search_mixed_values(weight, loop.value_temperature))
        if loop.value_temperature > 0:
            return WithValues(dataset, dataset.score_share_values(loop.value_temperature))
        return dataset

    def train(self, iteration: int) -> dict:
        started = time.monotonic()
        loop = self.config.loop
        paths = self.window(iteration)
        dataset = TrainingDataset([str(p) for p in paths])
        training, held = split_positions(dataset, loop.holdout_fraction)
        own = {k for k, p in enumerate(paths) if p in set(self.dirs.shards_of(iteration))}
        new_positions = int(sum(k in own for k in dataset.position_games()[training, 0]))
        steps = self.steps(new_positions)
        previous = read_json(self.dirs.record(iteration - 1), {}).get("train", {})
        start = int(previous.get("step", 0))
        config = self.config.train
        if not loop.steps_per_iteration:
            # The schedule ends with the run's last iteration, or the last that fits the time
            # budget, supposing each takes this one's steps.
            left = self.last_iteration(iteration) - iteration + 1
            config = replace(config, schedule_steps=start + left * steps)
        trainer, _ = Trainer.from_checkpoint(self.dirs.trainer, self.pool.device, config)

        def save(t: Trainer) -> None:
            t.save(self.dirs.trainer, engine_config=self.config.engine, extra={"iteration": iteration})

        training_data = Subset(self.with_value_targets(dataset, trainer.model, iteration), training)
        losses = trainer.train(
            training_data, holdout_key(dataset_key(paths), loop.holdout_fraction), start + steps,
            checkpoint=save, checkpoint_every=loop.checkpoint_every,
            holdout=Subset(dataset, held) if len(held) else None, scalars=self.scalars,
        )
        save(trainer)
        copy_atomic(self.dirs.trainer, self.dirs.candidate(iteration))
        held_out = trainer.position.held_out_summary()
        # The evaluation whose weights the candidate has: the best with early stopping, else the last.
        kept, which = ("best", "best at") if trainer.config.patience else ("last", "at")
        self.log(
            f"iteration {iteration}: trained to step {trainer.step} on {len(training)} positions, "
            f"policy loss {losses['policy_loss']:.4f}, value loss {losses['value_loss']:.4f}"
            + ("" if held_out is None else
               f"; held out ({len(held)} positions) {which} step {held_out[kept]['step']}: policy loss "
               f"{held_out[kept]['policy_loss']:.4f}, value loss {held_out[kept]['value_loss']:.4f} "
               f"(constant {held_out[kept]['constant_value_loss']:.4f})"
               + (", stopped early" if held_out["stopped_early"] else ""))
        )
        return {
            **losses,
            "step": trainer.step,
            "steps": steps,
            "sample_reuse": None if loop.steps_per_iteration else loop.sample_reuse,
            "new_positions": new_positions,
            "search_value_weight": None if loop.td_lambda < 1 else self.search_value_weight(iteration),
            "learning_rate": trainer.learning_rate,
            "window_shards": len(paths),
            "window_positions": len(training),
            "holdout_positions": len(held),
            "held_out": held_out,
            "seconds": time.monotonic() - started,
        }
