"""A trainer's checkpoint: everything an exact resume needs.

A checkpoint holds the model, optimiser, scheduler, scaler, step, the torch random state and
the position in the data (with the held-out evaluations and the best weights so far), so a
resumed run goes on as an uninterrupted one would have.
"""

from __future__ import annotations

import os
from dataclasses import asdict
from typing import TYPE_CHECKING, Optional

import torch

from ..nets import network
from .held_out import DataPosition
from .settings import TrainConfig

if TYPE_CHECKING:
    from .trainer import Trainer


class Checkpointing:
    """The checkpoint half of a Trainer: needs its model, optimiser, scheduler, scaler, step,
    position and best_state."""

    def save(self, path: os.PathLike | str, engine_config: Optional[dict] = None, extra: Optional[dict] = None) -> None:
        """Writes the model, optimiser, scheduler, scaler, step, random state and data position."""
        rng = {"torch": torch.get_rng_state()}
        if torch.cuda.is_available():
            rng["cuda"] = torch.cuda.get_rng_state_all()
        extra = {**(extra or {}), "rng": rng, "data_position": asdict(self.position)}
        if self.best_state is not None:
            extra["best_state"] = {k: v.cpu() for k, v in self.best_state.items()}
        network.save_checkpoint(
            path,
            self.model,
            optimizer_state=self.optimizer.state_dict(),
            scheduler_state=self.scheduler.state_dict(),
            scaler_state=self.scaler.state_dict(),
            step=self.step,
            engine_config=engine_config,
            train_config=asdict(self.config),
            extra=extra,
        )

    @classmethod
    def from_checkpoint(
        cls, path: os.PathLike | str, device: str | torch.device = "cpu", config: Optional[TrainConfig] = None
    ) -> tuple["Trainer", dict]:
        """Restores a trainer exactly as it was saved; ``config`` overrides the saved one."""
        model, checkpoint = network.load_checkpoint(path, map_location="cpu")
        saved = checkpoint.get("train_config")
        if config is None:
            config = TrainConfig.from_dict(saved or {})
        trainer = cls(model, config, device)
        trainer.step = int(checkpoint.get("step") or 0)
        if checkpoint.get("optimizer_state") is not None:
            trainer.optimizer.load_state_dict(checkpoint["optimizer_state"])
        if checkpoint.get("scheduler_state") is not None:
            trainer.scheduler.load_state_dict(checkpoint["scheduler_state"])
        if checkpoint.get("scaler_state") and trainer.use_amp:
            trainer.scaler.load_state_dict(checkpoint["scaler_state"])
        extra = checkpoint.get("extra") or {}
        if "data_position" in extra:
            trainer.position = DataPosition(**extra["data_position"])
        if extra.get("best_state") is not None:
            trainer.best_state = {k: v.to(trainer.device) for k, v in extra["best_state"].items()}
        rng = extra.get("rng") or {}
        if "torch" in rng:
            torch.set_rng_state(rng["torch"])
        if "cuda" in rng and torch.cuda.is_available():
            torch.cuda.set_rng_state_all(rng["cuda"])
        return trainer, checkpoint
