"""The training dataset: tensors of the positions of self-play shards.

Training targets. The input planes are the engine's encoding of the position before each
move (replayed with rules.encode_record). The policy target is the root visit
distribution made dense over dim * dim tiles; NaN fractions (a search without visits)
count as zero, and a position whose fractions sum to zero gets a uniform target over
its listed tiles. A position without a policy (a move searched with the fast budget of
playout-cap randomisation) is not recorded: it is replayed but never trained on. The value target is the payoffs rotated to the view of the player to
move, like the network's value logits: value[k] = payoffs[(mover + k) % 4]. The score
target, for a network's score head, is in the same order the number of cells each player
has placed when the game ends (its moves in the record, one cell each), as a share of a
quarter of the board's cells. A loop may train on TD(λ) returns instead of the payoffs
(bootstrapped_values; value_targets says why), or on the payoffs mixed with each position's
search values (search_mixed_values).

The shard names (Shard, read_shard, write_shard, ShardWriter, ...) are re-exported here for
the callers that import them from this module; they live in shards and shard_writer.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Iterator, Optional, Sequence

import numpy as np

from ..engine.constants import PLAYERS, STATE_PLANES
from ..engine.rules import encode_record
from .shard_writer import ShardWriter, write_shard
from .value_targets import Estimator, score_shares, td_lambda_returns, to_absolute, to_mover_view
from .shards import (ARRAYS, SHARD_FORMAT, SHARD_VERSION, CorruptShard, Shard, arrays_checksum, open_shard,
                     read_shard, shard_paths)

__all__ = ["ARRAYS", "SHARD_FORMAT", "SHARD_VERSION", "CorruptShard", "Shard", "ShardWriter", "TrainingDataset",
           "arrays_checksum", "iterate_batches", "open_shard", "read_shard", "shard_paths", "write_shard"]


class TrainingDataset:
    """Training positions of one or more shards, as a map-style dataset of torch tensors.

    Item i is (planes float32 (5, d, d), policy float32 (d * d), value float32 (4,)),
    recorded positions (those with a policy) in shard order. Shards may differ in board side; a batch must not mix
    sides (iterate_batches groups them). The input planes are replayed once at load
    time and kept bit-packed (one bit per plane cell).
    """

    def __init__(self, paths: Sequence[os.PathLike | str]) -> None:
        if not paths:
            raise ValueError("no shards given")
        self.paths = [Path(p) for p in paths]
        self._tables = [_PositionTable(read_shard(p)) for p in self.paths]
        sizes = [t.size for t in self._tables]
        self._starts = np.concatenate(([0], np.cumsum(sizes))).astype(np.int64)
        self.dims = np.concatenate([np.full(s, t.dim, dtype=np.int64) for s, t in zip(sizes, self._tables)])

    def __len__(self) -> int:
        return int(self._starts[-1])

    def position_games(self) -> np.ndarray:
        """(N, 2) int64: for every item, the number of its shard in ``paths`` and its game in that shard."""
        return np.concatenate([np.stack((np.full(t.size, k), t.games), axis=1) for k, t in enumerate(self._tables)])

    def __getitem__(self, index: int) -> tuple:
        if not -len(self) <= index < len(self):
            raise IndexError(f"position {index} out of range for {len(self)} positions")
        planes, policy, value = self.batch(np.array([index % len(self)]))
        return planes[0], policy[0], value[0]

    def batch(self, indices: Sequence[int] | np.ndarray) -> tuple:
        """Tensors (planes (B, 5, d, d), policy (B, d * d), value (B, 4)) for positions of one board side."""
        import torch

        indices = np.asarray(indices, dtype=np.int64)
        sides = np.unique(self.dims[indices])
        if len(sides) != 1:
            raise ValueError(f"a batch must hold positions of one board side, got sides {sides.tolist()}")
        dim = int(sides[0])
        planes = np.empty((len(indices), STATE_PLANES, dim, dim), dtype=np.float32)
        policy = np.empty((len(indices), dim * dim), dtype=np.float32)
        value = np.empty((len(indices), PLAYERS), dtype=np.float32)
        for table, chosen, local in self._by_table(indices):
            planes[chosen] = table.planes(local)
            policy[chosen] = table.policies(local)
            value[chosen] = table.values[local]
        return torch.from_numpy(planes), torch.from_numpy(policy), torch.from_numpy(value)

    def scores(self, indices: Sequence[int] | np.ndarray) -> Any:
        """The score targets (B, 4) of positions: final cells placed per player, from the
        mover's view, as a share of dim * dim / 4."""
        import torch

        indices = np.asarray(indices, dtype=np.int64)
        scores = np.empty((len(indices), PLAYERS), dtype=np.float32)
        for table, chosen, local in self._by_table(indices):
            scores[chosen] = table.scores[local]
        return torch.from_numpy(scores)

    def score_share_values(self, temperature: float) -> np.ndarray:
        """(N, 4) value targets of the items, mover's view: each game's score shares (see
        value_targets.score_shares) instead of its payoff."""
        return np.concatenate([t.mover_view_of_games(t.outcomes(temperature)) for t in self._tables])

    def search_mixed_values(self, weight: float, temperature: float = 0.0) -> np.ndarray:
        """(N, 4) value targets of the items, mover's view: (1 - weight) x each game's payoffs
        (score shares at `temperature` > 0) + weight x the mean leaf values of the search at
        the position. ValueError naming a shard recorded without search values."""
        targets = []
        for path, table in zip(self.paths, self._tables):
            if table.search_values is None:
                raise ValueError(f"{path}: recorded without search values (the batched engine records them): "
                                 "train it without --search-value-weight")
            targets.append(table.search_mixed(weight, table.outcomes(temperature)))
        return np.concatenate(targets).astype(np.float32)

    def bootstrapped_values(self, estimate: Estimator, lam: float, cache: Optional[dict] = None,
                            temperature: float = 0.0) -> np.ndarray:
        """(N, 4) TD(λ) value targets of the items, mover's view (see value_targets): the
        payoffs (or score shares at `temperature` > 0) mixed with `estimate`'s values of every
        position. `cache` maps a shard's path to its positions' estimates, so that a shard is
        estimated once, by the network of its time; the entries of other shards are dropped."""
        cache = {} if cache is None else cache
        keys = [str(path.resolve()) for path in self.paths]
        for stale in set(cache) - set(keys):
            del cache[stale]
        targets = []
        for key, table in zip(keys, self._tables):
            if key not in cache:
                cache[key] = table.estimates(estimate)
            targets.append(table.td_values(cache[key], lam, table.outcomes(temperature)))
        return np.concatenate(targets).astype(np.float32)

    def _by_table(self, indices: np.ndarray) -> Iterator[tuple["_PositionTable", np.ndarray, np.ndarray]]:
        """For each shard holding some of `indices`: its table, where those items sit in
        `indices`, and their numbers within the table."""
        table_of = np.searchsorted(self._starts, indices, side="right") - 1
        for t in np.unique(table_of):
            chosen = np.flatnonzero(table_of == t)
            yield self._tables[t], chosen, indices[chosen] - self._starts[t]


def iterate_batches(dataset: TrainingDataset, batch_size: int, *, shuffle: bool = True,
                    drop_last: bool = False, seed: Optional[int] = None) -> Iterator[tuple]:
    """One pass over the dataset in batches of one board side each (see TrainingDataset.batch)."""
    if batch_size < 1:
        raise ValueError(f"batch_size must be at least 1, got {batch_size}")
    rng = np.random.default_rng(seed)
    batches = []
    for side in np.unique(dataset.dims):
        indices = np.flatnonzero(dataset.dims == side)
        if shuffle:
            rng.shuffle(indices)
        for start in range(0, len(indices), batch_size):
            chunk = indices[start:start + batch_size]
            if len(chunk) == batch_size or not drop_last:
                batches.append(chunk)
    order = rng.permutation(len(batches)) if shuffle else range(len(batches))
    for b in order:
        yield dataset.batch(batches[b])


class _PositionTable:
    """One shard's positions prepared for fast gathering."""

    def __init__(self, shard: Shard) -> None:
        self.dim = shard.dim
        # Local item i is position kept[i]: the recorded positions.
        self.kept = np.flatnonzero(np.diff(shard.policy_offsets) > 0)
        self.size = len(self.kept)
        cells = self.dim * self.dim
        self._packed = np.empty((shard.num_positions, STATE_PLANES, (cells + 7) // 8), dtype=np.uint8)
        for g in range(shard.num_games):
            first, last = shard.game_offsets[g], shard.game_offsets[g + 1]
            if last > first:
                states = encode_record(self.dim, shard.moves[first:last])
                self._packed[first:last] = np.packbits(states.reshape(last - first, STATE_PLANES, cells), axis=-1)
        self._offsets = shard.policy_offsets
        self._tiles = shard.policy_tiles
        self._weights = _policy_weights(shard.policy_fractions, np.diff(shard.policy_offsets))
        self._movers = shard.moves[:, 0].astype(np.int64)
        self._item_movers = self._movers[self.kept]
        # The game of every item (not of every position: unrecorded positions are no items).
        games = shard.position_games()
        self.games = games[self.kept]
        self._game_offsets = shard.game_offsets
        self._payoffs = shard.payoffs
        self._final_cells = _cells_placed(shard, games)
        self.search_values = shard.search_values
        self.values = self.mover_view_of_games(shard.payoffs)
        self.scores = self.mover_view_of_games(self._final_cells * (PLAYERS / cells))
        if self.size == shard.num_positions:
            self.kept = None  # every position is recorded: items are positions

    def _positions(self, local: np.ndarray) -> np.ndarray:
        return local if self.kept is None else self.kept[local]

    def planes(self, local: np.ndarray) -> np.ndarray:
        cells = self.dim * self.dim
        bits = np.unpackbits(self._packed[self._positions(local)], axis=-1, count=cells)
        return bits.reshape(len(local), STATE_PLANES, self.dim, self.dim)

    def policies(self, local: np.ndarray) -> np.ndarray:
        local = self._positions(local)
        starts = self._offsets[local]
        lengths = self._offsets[local + 1] - starts
        rows = np.repeat(np.arange(len(local)), lengths)
        first_of_row = np.repeat(np.cumsum(lengths) - lengths, lengths)
        entries = np.arange(lengths.sum()) - first_of_row + np.repeat(starts, lengths)
        dense = np.zeros((len(local), self.dim * self.dim), dtype=np.float32)
        dense[rows, self._tiles[entries]] = self._weights[entries]
        return dense

    def estimates(self, estimate: Estimator, chunk: int = 1024) -> np.ndarray:
        """(positions, 4) the estimator's values of every position, recorded or not, absolute order."""
        values = np.empty((len(self._packed), PLAYERS), dtype=np.float32)
        for start in range(0, len(self._packed), chunk):
            bits = np.unpackbits(self._packed[start:start + chunk], axis=-1, count=self.dim * self.dim)
            planes = bits.reshape(len(bits), STATE_PLANES, self.dim, self.dim).astype(np.float32)
            values[start:start + chunk] = estimate(planes)
        return to_absolute(values, self._movers)

    def outcomes(self, temperature: float) -> np.ndarray:
        """(G, 4) what each game's positions are worth at its end, absolute order: the payoffs,
        or at `temperature` > 0 the score shares."""
        if temperature <= 0:
            return self._payoffs.astype(np.float64)
        return score_shares(self._final_cells, temperature)

    def mover_view_of_games(self, per_game: np.ndarray) -> np.ndarray:
        """(items, 4) float32: each item's row of `per_game` (G, 4) in its mover's view."""
        return to_mover_view(per_game[self.games], self._item_movers).astype(np.float32)

    def search_mixed(self, weight: float, outcomes: np.ndarray) -> np.ndarray:
        """(items, 4) each item's outcome (`outcomes`, (G, 4)) mixed with its search's mean
        leaf values, mover's view; a position whose search simulated nothing keeps its outcome."""
        outcome = outcomes[self.games]
        search = self.search_values[self._positions(np.arange(self.size))].astype(np.float64)
        missing = np.isnan(search).any(axis=1, keepdims=True)
        mixed = np.where(missing, outcome, (1 - weight) * outcome + weight * np.nan_to_num(search))
        return to_mover_view(mixed, self._item_movers)

    def td_values(self, estimates: np.ndarray, lam: float, outcomes: np.ndarray) -> np.ndarray:
        """(items, 4) TD(λ) returns of the recorded positions in the mover's view, from each
        game's `outcomes` (G, 4)."""
        returns = np.empty(estimates.shape, dtype=np.float64)
        for g in range(len(outcomes)):
            first, last = self._game_offsets[g], self._game_offsets[g + 1]
            returns[first:last] = td_lambda_returns(outcomes[g], estimates[first:last], lam)
        return to_mover_view(returns[self._positions(np.arange(self.size))], self._item_movers)


def _cells_placed(shard: Shard, games: np.ndarray) -> np.ndarray:
    """(G, 4): the cells each player placed in each game, one per move of theirs
    (`games`: the game of every position)."""
    owners = games * PLAYERS + shard.moves[:, 0].astype(np.int64)
    return np.bincount(owners, minlength=shard.num_games * PLAYERS).reshape(shard.num_games, PLAYERS).astype(np.float64)


def _policy_weights(fractions: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """Fractions renormalised per position; NaN counts as 0; all-zero positions become uniform."""
    clean = np.nan_to_num(fractions.astype(np.float64), nan=0.0, posinf=0.0, neginf=0.0).clip(min=0.0)
    owner = np.repeat(np.arange(len(lengths)), lengths)
    sums = np.bincount(owner, weights=clean, minlength=len(lengths))
    positive = sums[owner] > 0
    weights = np.where(positive, clean / np.where(positive, sums[owner], 1.0), 1.0 / np.maximum(lengths[owner], 1))
    return weights.astype(np.float32)
