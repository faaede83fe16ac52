"""The self-play phase of a loop iteration: the current network's games, written in chunks."""

from __future__ import annotations

import time
from contextlib import ExitStack
from pathlib import Path

import numpy as np

from ..data.shard_writer import write_shard
from .run_directory import now


class SelfPlayPhase:
    """The self-play half of a TrainingLoop: needs its run directory, config, scale and pool."""

    def selfplay(self, iteration: int) -> dict:
        loop = self.scaled_loop()
        started = time.monotonic()
        chunks = -(-loop.games_per_iteration // loop.games_per_shard)
        with ExitStack() as stack:
            pool = None
            for chunk in range(chunks):
                path = self.dirs.shard(iteration, chunk)
                if path.exists():
                    continue
                if pool is None:
                    pool = stack.enter_context(self.open_players({"model": self.load(self.dirs.current)}))
                games = min(loop.games_per_shard, loop.games_per_iteration - chunk * loop.games_per_shard)
                self.write_selfplay_shard(pool, path, games, iteration)
                self.log(f"iteration {iteration}: self-play chunk {chunk + 1}/{chunks}, {games} games")
        games, positions = self.count(self.dirs.shards_of(iteration))
        shrunk = {"scale": self.scale} if self.scale < 1.0 else {}
        return {"games": games, "positions": positions, "seconds": time.monotonic() - started, **shrunk}

    def write_selfplay_shard(self, pool, path: Path, games: int, iteration: int) -> None:
        records = list(pool.play_training_games(self.engine_config, games))
        metadata = {
            "engine_config": self.config.engine,
            "checkpoint": str(self.dirs.current),
            "iteration": iteration,
            "created": now(),
            "search": self.config.search,
        }
        write_shard(path, records, self.engine_config.dim, metadata)

    @staticmethod
    def count(paths: list[Path]) -> tuple[int, int]:
        games = positions = 0
        for path in paths:
            with np.load(path, allow_pickle=False) as shard:
                games += len(shard["game_offsets"]) - 1
                positions += len(shard["moves"])
        return games, positions
