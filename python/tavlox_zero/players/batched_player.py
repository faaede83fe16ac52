"""A command's games played by the batched engine, behind the same interface as the worker pool.

The networks run in this process; each is served by the inference backend asked for
(`inference.make_network`), built from the weights it is given. Every call of a play_* method
runs one engine to the end.
"""

from __future__ import annotations

from typing import Any, Iterator, Optional

from ..engine.batched import BatchedEngine
from ..engine.search_settings import MatchSettings, SearchSettings
from ..nets.inference import make_network
from .player import GamePlayer, PlayerStats


class BatchedPlayer(GamePlayer):
    def __init__(self, networks: dict, device: Any, *, games_in_flight: Optional[int] = None,
                 search_threads: Optional[int] = None, seed: Optional[int] = None,
                 cpu_threads: Optional[int] = None, search: Optional[SearchSettings] = None,
                 match: Optional[MatchSettings] = None, backend: str = "torch") -> None:
        import torch

        if cpu_threads and torch.device(device).type == "cpu":
            torch.set_num_threads(cpu_threads)
        self._networks = {name: make_network(model, device, backend, threads=cpu_threads)
                          for name, model in networks.items()}
        self.search, self.match = search or SearchSettings(), match or MatchSettings()
        self._options = {"games_in_flight": games_in_flight, "search_threads": search_threads, "seed": seed,
                         "search": self.search, "match": self.match}
        self._engine: Optional[BatchedEngine] = None
        self.unclaimed_records: list = []
        self.stats = PlayerStats()

    @property
    def backends(self) -> dict:
        """What serves each network: `auto` until its first batch, then the backend it chose."""
        return {name: network.backend for name, network in self._networks.items()}

    def close(self) -> None:
        if self._engine is not None:
            self._engine.close()

    def _run(self, kind: str, config: Any, n_games: int, names: list, keep_unclaimed: bool = False,
             match: Optional[MatchSettings] = None) -> Iterator[Any]:
        missing = [name for name in names if name not in self._networks]
        if missing:
            raise KeyError(f"no network named {missing[0]!r}; this player has {sorted(self._networks)}")
        options = {**self._options, "seed": self.run_seed(kind, self._options["seed"]),
                   "match": match or self.match}
        self._engine = BatchedEngine(kind, config, n_games, [self._networks[name] for name in names], **options)
        try:
            yield from self._engine.run()
        finally:
            if keep_unclaimed:
                self.unclaimed_records.extend(self._engine.unclaimed)
            self._engine.close()
            self.stats.add(self._engine.stats)
