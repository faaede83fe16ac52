"""Held-out evaluations of a training run: the losses on games kept out of training, the
weights of the lowest held-out total loss, and when to stop.

The trainer measures the held-out losses (evaluation mode, no gradients) before its first
step on the data, every `eval_every` steps and after its last. With a `patience` it keeps the
weights of the lowest held-out total loss, stops after `patience` evaluations without a lower
one, and ends with those best weights; their copy and the evaluations so far are part of the
checkpoint, so this path resumes exactly too. Without one (patience 0) the evaluations are
only measured and reported, and training ends with its last weights. The total loss, not the value loss alone, picks the weights: the policy
usually still improves while the value head starts to memorise, and the total weighs both as
training does. For reference each evaluation also gives the value loss of a constant
prediction, the held-out positions' mean value target.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable, Optional

import torch

from .batches import gather
from .losses import LOSS_NAMES


@dataclass
class DataPosition:
    """Where a run stands in one data set, the losses summed over it so far, and its
    held-out evaluations (`best`: the index of the lowest total loss; `stopped`: early)."""

    key: str = ""
    batches: int = 0
    loss_sums: dict = field(default_factory=lambda: {name: 0.0 for name in LOSS_NAMES})
    evaluations: list = field(default_factory=list)
    best: int = -1
    stopped: bool = False

    def mean_losses(self) -> dict:
        if self.batches == 0:
            return {name: math.nan for name in LOSS_NAMES}
        return {name: total / self.batches for name, total in self.loss_sums.items()}

    def held_out_summary(self) -> Optional[dict]:
        """The held-out losses of the first, best and last evaluation; None without evaluations."""
        if not self.evaluations:
            return None
        return {"evaluations": len(self.evaluations), "stopped_early": self.stopped,
                "first": self.evaluations[0], "best": self.evaluations[self.best], "last": self.evaluations[-1]}


class HeldOutEvaluation:
    """The held-out half of a Trainer: needs its model, config, step, position, best_state and _losses."""

    @torch.no_grad()
    def evaluate(self, dataset, batch_size: int = 1024) -> dict:
        """Mean losses over ``dataset`` in evaluation mode, and the value loss of predicting
        the data's mean value target everywhere (``constant_value_loss``)."""
        self.model.eval()
        sums = {name: 0.0 for name in LOSS_NAMES}
        mean_value = torch.zeros(4, dtype=torch.float64)
        for start in range(0, len(dataset), batch_size):
            indices = torch.arange(start, min(start + batch_size, len(dataset)))
            batch = gather(dataset, indices)
            for name, value in self._losses(*batch).items():
                sums[name] += value.item() * len(indices)
            mean_value += batch[2].double().sum(dim=0)
        losses = {name: total / len(dataset) for name, total in sums.items()}
        mean_value /= len(dataset)
        losses["constant_value_loss"] = -(mean_value * mean_value.clamp_min(1e-12).log()).sum().item()
        return losses

    def _evaluate_held_out(self, holdout, log: Optional[Callable[[str], None]], scalars=None) -> None:
        losses = {"step": self.step, **self.evaluate(holdout)}
        if scalars is not None:
            scalars.add_all("held_out", losses, self.step, *LOSS_NAMES, "constant_value_loss")
        position = self.position
        position.evaluations.append(losses)
        if position.best < 0 or losses["loss"] < position.evaluations[position.best]["loss"]:
            position.best = len(position.evaluations) - 1
            if self.config.patience:
                self.best_state = {k: v.detach().clone() for k, v in self.model.state_dict().items()}
        elif self.config.patience and len(position.evaluations) - 1 - position.best >= self.config.patience:
            position.stopped = True
        if log:
            log(f"step {self.step}: held-out loss {losses['loss']:.4f} (policy {losses['policy_loss']:.4f}, "
                f"value {losses['value_loss']:.4f}, score {losses['score_loss']:.4f}; "
                f"constant value {losses['constant_value_loss']:.4f})"
                + (", stopping: no improvement" if position.stopped else ""))
