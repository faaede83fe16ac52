"""The losses of the policy-value network and its optimiser's schedule and parameter groups.

Losses, per position:
* policy: cross-entropy of the policy logits over all dim² tiles against the
  dense visit fractions (zero off the tiles the search listed), and
* value: cross-entropy of the four value logits against the payoffs in the
  view of the player to move (entry 0 is the mover's payoff), and
* score, for a network with a score head: the squared error of its four
  predicted final cell shares, summed over the players (see dataset).

The learning rate warms up linearly and then follows a cosine down to a floor; weight decay
applies to weight matrices and kernels only.
"""

from __future__ import annotations

import math
from typing import Callable, Optional

import torch
import torch.nn.functional as F

from .settings import TrainConfig

LOSS_NAMES = ("loss", "policy_loss", "value_loss", "score_loss")


def policy_loss(policy_logits: torch.Tensor, target: torch.Tensor) -> torch.Tensor:
    """Mean over the batch of −Σ target · log_softmax(logits) over all tiles."""
    log_probs = F.log_softmax(policy_logits.float(), dim=1)
    return -(target * log_probs).sum(dim=1).mean()


def value_loss(value_logits: torch.Tensor, target: torch.Tensor) -> torch.Tensor:
    """Mean over the batch of −Σ payoff · log_softmax(value logits), mover's view."""
    log_probs = F.log_softmax(value_logits.float(), dim=1)
    return -(target * log_probs).sum(dim=1).mean()


def score_loss(predicted: Optional[torch.Tensor], target: Optional[torch.Tensor]) -> torch.Tensor:
    """Mean over the batch of the squared errors of the final cell shares, summed over players;
    zero for a network without a score head or data without score targets."""
    if predicted is None or target is None:
        return torch.zeros(())
    return (predicted.float() - target).square().sum(dim=1).mean()


def warmup_cosine(config: TrainConfig) -> Callable[[int], float]:
    """Learning-rate factor of a step: linear warmup, cosine decay, then a floor."""
    warmup = max(0, config.warmup_steps)
    decay = max(1, config.schedule_steps - warmup)
    floor = config.min_lr_fraction

    def factor(step: int) -> float:
        if step < warmup:
            return (step + 1) / warmup
        progress = min(1.0, (step - warmup) / decay)
        return floor + (1.0 - floor) * 0.5 * (1.0 + math.cos(math.pi * progress))

    return factor


def parameter_groups(model: torch.nn.Module, weight_decay: float) -> list[dict]:
    """Decay weight matrices and kernels; leave biases and normalisation scales alone."""
    decayed, plain = [], []
    for parameter in model.parameters():
        if parameter.requires_grad:
            (decayed if parameter.dim() > 1 else plain).append(parameter)
    return [
        {"params": decayed, "weight_decay": weight_decay},
        {"params": plain, "weight_decay": 0.0},
    ]
