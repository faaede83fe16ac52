"""Training the policy-value network on self-play shards: the Trainer.

The optimiser is AdamW (weight decay on weight matrices and kernels only), the learning rate
warms up linearly and then follows a cosine down to a floor (losses.py), gradients are clipped
by norm, and on CUDA the forward pass runs under autocast with a gradient scaler.

Resuming is exact (trainer_checkpoint.py), and so is the data order (batches.py). Whole
held-out games can be kept out of training (batches.split_positions); the trainer then
measures itself on them and may stop early (held_out.py).
"""

from __future__ import annotations

import time
import zlib
from typing import Callable, Optional

import torch

from .batches import (ShuffledBatches, Subset, collate, dataset_key, gather, holdout_key,  # noqa: F401
                      split_positions)
from .held_out import DataPosition, HeldOutEvaluation
from .losses import (LOSS_NAMES, parameter_groups, policy_loss, score_loss, value_loss,  # noqa: F401
                     warmup_cosine)
from .settings import TrainConfig
from .trainer_checkpoint import Checkpointing


class Trainer(HeldOutEvaluation, Checkpointing):
    """A model with its optimiser, schedule, scaler, step count and data position."""

    def __init__(self, model: torch.nn.Module, config: TrainConfig, device: str | torch.device = "cpu") -> None:
        self.device = torch.device(device)
        self.model = model.to(self.device)
        self.config = config
        self.optimizer = torch.optim.AdamW(
            parameter_groups(self.model, config.weight_decay), lr=config.learning_rate
        )
        self.scheduler = torch.optim.lr_scheduler.LambdaLR(self.optimizer, warmup_cosine(config))
        self.use_amp = self.device.type == "cuda"
        self.scaler = torch.amp.GradScaler("cuda", enabled=self.use_amp)
        self.step = 0
        self.position = DataPosition()
        # The weights of the best held-out evaluation on the current data set.
        self.best_state: Optional[dict] = None

    @property
    def learning_rate(self) -> float:
        return self.optimizer.param_groups[0]["lr"]

    def _losses(self, planes: torch.Tensor, policy: torch.Tensor, value: torch.Tensor,
                scores: Optional[torch.Tensor]) -> dict:
        """The losses of one batch as tensors, the weighted total under "loss"."""
        planes, policy, value = (t.to(self.device, non_blocking=True) for t in (planes, policy, value))
        with torch.autocast(device_type=self.device.type, dtype=torch.float16, enabled=self.use_amp):
            if hasattr(self.model, "heads"):
                policy_logits, value_logits, predicted_scores = self.model.heads(planes)
            else:
                (policy_logits, value_logits), predicted_scores = self.model(planes), None
        losses = {
            "policy_loss": policy_loss(policy_logits, policy),
            "value_loss": value_loss(value_logits, value),
            "score_loss": score_loss(predicted_scores, None if scores is None else scores.to(self.device)).to(self.device),
        }
        losses["loss"] = losses["policy_loss"] + self.config.value_loss_weight * losses["value_loss"] \
            + self.config.score_loss_weight * losses["score_loss"]
        return losses

    def train_step(self, planes: torch.Tensor, policy: torch.Tensor, value: torch.Tensor,
                   scores: Optional[torch.Tensor] = None) -> dict:
        self.model.train()
        losses = self._losses(planes, policy, value, scores)
        loss = losses["loss"]
        if not torch.isfinite(loss):
            raise FloatingPointError(f"training loss is {loss.item()} at step {self.step}")
        self.optimizer.zero_grad(set_to_none=True)
        self.scaler.scale(loss).backward()
        self.scaler.unscale_(self.optimizer)
        torch.nn.utils.clip_grad_norm_(self.model.parameters(), self.config.grad_clip)
        self.scaler.step(self.optimizer)
        self.scaler.update()
        self.scheduler.step()
        self.step += 1
        return {name: losses[name].item() for name in LOSS_NAMES}

    def train(
        self,
        dataset,
        key: str,
        until_step: int,
        checkpoint: Optional[Callable[["Trainer"], None]] = None,
        checkpoint_every: int = 0,
        log: Optional[Callable[[str], None]] = None,
        log_every: int = 0,
        checkpoint_seconds: float = 0.0,
        should_stop: Optional[Callable[[], bool]] = None,
        holdout=None,
        scalars=None,
    ) -> dict:
        """Trains on ``dataset`` until the step count reaches ``until_step``, or until
        ``should_stop`` says so between two steps.

        With ``holdout`` positions (not empty) the training is measured on them and
        stops early as the module describes; once it has finished (not when
        ``should_stop`` interrupted it) the model holds the best-evaluated weights.

        ``key`` names the data set (see dataset_key): the position in the data
        and the loss sums carry on when it matches the previous call's, and
        start afresh otherwise. ``checkpoint`` is called every ``checkpoint_every``
        steps and whenever ``checkpoint_seconds`` have passed since the last save
        (0 turns either off). ``scalars`` (a ScalarLog) receives every step's losses and
        learning rate and every held-out evaluation. Returns the mean losses over the data
        set's steps so far.
        """
        if key != self.position.key:
            self.position = DataPosition(key=key)
            self.best_state = None
        seed = zlib.crc32(f"{self.config.seed}|{key}".encode())
        batches = ShuffledBatches(len(dataset), self.config.batch_size, seed)
        measured = holdout is not None and len(holdout) > 0
        if measured and not self.position.evaluations:
            self._evaluate_held_out(holdout, log, scalars)
        last_save = time.monotonic()
        while self.step < until_step and not self.position.stopped and not (should_stop and should_stop()):
            losses = self.train_step(*gather(dataset, batches.batch(self.position.batches)))
            self.position.batches += 1
            for name, value in losses.items():
                self.position.loss_sums[name] = self.position.loss_sums.get(name, 0.0) + value
            if scalars is not None:
                scalars.add_all("train", {**losses, "learning_rate": self.learning_rate}, self.step)
            if log and log_every and self.step % log_every == 0:
                log(
                    f"step {self.step}: loss {losses['loss']:.4f} (policy {losses['policy_loss']:.4f}, "
                    f"value {losses['value_loss']:.4f}, score {losses['score_loss']:.4f}), lr {self.learning_rate:.2e}"
                )
            if measured and (self.position.batches % max(1, self.config.eval_every) == 0 or self.step >= until_step):
                self._evaluate_held_out(holdout, log, scalars)
            due = (checkpoint_every and self.step % checkpoint_every == 0) or (
                checkpoint_seconds > 0 and time.monotonic() - last_save >= checkpoint_seconds)
            if checkpoint and due and self.step < until_step:
                checkpoint(self)
                last_save = time.monotonic()
        # Only early stopping goes back to the best held-out weights; without it every step is kept.
        if measured and self.config.patience and self.best_state is not None and (
                self.step >= until_step or self.position.stopped):
            self.model.load_state_dict(self.best_state)
        return self.position.mean_losses()
