"""What a trainer draws its batches from: the key naming a data set, the seeded order of its
batches, batches gathered from a data set, and whole games held out of training.

The data order is a function of the seed, the set of shards and the epoch alone, so a resumed
run draws the very batches an uninterrupted one would have drawn. Held-out games are chosen
by a hash of (shard file name, game index), so the same games are held out in every window.
"""

from __future__ import annotations

import os
import zlib
from pathlib import Path
from typing import Sequence

import numpy as np
import torch

def dataset_key(paths: Sequence[os.PathLike | str]) -> str:
    """Names the data a run trains on, so a resume can tell whether it is the same."""
    parts = []
    for path in paths:
        p = Path(path)
        parts.append(f"{p.name}:{p.stat().st_size}")
    return "|".join(parts)


class ShuffledBatches:
    """Batches of item indices, reshuffled every epoch by a seeded permutation.

    Batch number b of the run is batch b mod per_epoch of epoch b div per_epoch;
    a short last batch of an epoch is dropped unless the data holds fewer items
    than one batch, in which case every batch is the whole (shuffled) data.
    """

    def __init__(self, num_items: int, batch_size: int, seed: int) -> None:
        if num_items <= 0:
            raise ValueError("the training data holds no positions")
        self.num_items = num_items
        self.batch_size = min(batch_size, num_items)
        self.per_epoch = num_items // self.batch_size
        self.seed = seed
        self._epoch = -1
        self._order = torch.empty(0, dtype=torch.long)

    def batch(self, number: int) -> torch.Tensor:
        epoch, index = divmod(number, self.per_epoch)
        if epoch != self._epoch:
            generator = torch.Generator().manual_seed(self.seed * 1_000_003 + epoch)
            self._order = torch.randperm(self.num_items, generator=generator)
            self._epoch = epoch
        start = index * self.batch_size
        return self._order[start : start + self.batch_size]


def gather(dataset, indices: torch.Tensor) -> tuple:
    """One batch of (planes, policy, value, scores or None); uses the data set's own batch
    gathering if it has one, and its score targets if it has them."""
    if hasattr(dataset, "targets"):
        return dataset.targets(indices.numpy())
    if hasattr(dataset, "batch"):
        batch = dataset.batch(indices.numpy())
        scores = dataset.scores(indices.numpy()) if hasattr(dataset, "scores") else None
        return (*batch, scores)
    return (*collate([dataset[int(i)] for i in indices]), None)


def collate(items: Sequence[tuple]) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
    planes, policies, values = zip(*items)
    return tuple(
        torch.stack([torch.as_tensor(x, dtype=torch.float32) for x in group]) for group in (planes, policies, values)
    )


def held_out(shard_name: str, game: int, fraction: float) -> bool:
    """Whether a game is held out of training: a hash of its shard's file name and its index
    decides, so a game is held out or trained on the same way in every window and process."""
    return zlib.crc32(f"{shard_name}#{game}".encode()) < fraction * 2**32


def split_positions(dataset, fraction: float) -> tuple[np.ndarray, np.ndarray]:
    """(training, held-out) item indices of a TrainingDataset; whole games are held out (see held_out)."""
    if fraction <= 0:
        return np.arange(len(dataset)), np.zeros(0, dtype=np.int64)
    owners = dataset.position_games()
    out = np.zeros(len(owners), dtype=bool)
    for number, path in enumerate(dataset.paths):
        mine = np.flatnonzero(owners[:, 0] == number)
        if len(mine):
            games = owners[mine, 1]
            flags = np.array([held_out(Path(path).name, g, fraction) for g in range(games.max() + 1)])
            out[mine] = flags[games]
    return np.flatnonzero(~out), np.flatnonzero(out)


class Subset:
    """The items `indices` of a data set, as a data set of their own."""

    def __init__(self, dataset, indices: Sequence[int] | np.ndarray) -> None:
        self.dataset = dataset
        self.indices = np.asarray(indices, dtype=np.int64)

    def __len__(self) -> int:
        return len(self.indices)

    def targets(self, indices) -> tuple:
        return gather(self.dataset, torch.as_tensor(self.indices[np.asarray(indices, dtype=np.int64)]))


class WithValues:
    """A data set whose value targets are replaced by `values` (one row per item)."""

    def __init__(self, dataset, values: np.ndarray) -> None:
        if len(values) != len(dataset):
            raise ValueError(f"{len(values)} value targets for {len(dataset)} positions")
        self.dataset = dataset
        self.values = values

    def __len__(self) -> int:
        return len(self.dataset)

    def targets(self, indices) -> tuple:
        indices = np.asarray(indices, dtype=np.int64)
        planes, policy, _, scores = gather(self.dataset, torch.as_tensor(indices))
        return planes, policy, torch.from_numpy(self.values[indices]), scores


def holdout_key(key: str, fraction: float) -> str:
    """The data key of the training part when a share of the games is held out."""
    return f"{key}|holdout {fraction}" if fraction > 0 else key
