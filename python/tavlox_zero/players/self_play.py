"""Training games played by a player and written as shards: `generate`, the selfplay command's
work, and the summary of a run (where the time went, what failed).

Shards are written every `games_per_shard` games, so an interrupted run keeps every game it
finished.
"""

from __future__ import annotations

import os
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional

from ..data.shard_writer import ShardWriter
from ..engine.constants import PLAYERS
from ..engine.engine_config import EngineConfig
from ..engine.search_settings import SearchSettings
from .pool_options import PoolSettings, open_players, play_errors


@dataclass
class Timing:
    """Where one evaluation's time goes, in seconds per evaluation, seen from a worker.

    engine: the worker's own work between a reply and its next request (search, rules,
    building the request); batching_wait: from sending a request to the start of its
    batch (queueing behind a busy network included); network: the batch's conversion,
    forward pass and replies; transport: the rest of the round trip (pickling and pipes).
    """

    engine: float = 0.0
    transport: float = 0.0
    batching_wait: float = 0.0
    network: float = 0.0

    @classmethod
    def from_stats(cls, pool_stats: Any, server_stats: dict) -> "Timing":
        evaluations = pool_stats.evaluations
        requests = sum(s.requests for s in server_stats.values())
        if not evaluations or not requests:
            return cls()
        wait = sum(s.wait_seconds for s in server_stats.values()) / requests
        network = sum(s.service_seconds for s in server_stats.values()) / requests
        round_trip = pool_stats.round_trip_seconds / evaluations
        return cls(engine=pool_stats.engine_seconds / evaluations,
                   transport=max(round_trip - wait - network, 0.0), batching_wait=wait, network=network)

    def describe(self) -> str:
        parts = [("engine", self.engine), ("transport", self.transport),
                 ("batching wait", self.batching_wait), ("network", self.network)]
        return ", ".join(f"{name} {seconds * 1000:.3f} ms" for name, seconds in parts)


@dataclass
class SelfPlaySummary:
    games: int = 0
    positions: int = 0
    seconds: float = 0.0
    evaluations: int = 0
    failed_games: int = 0
    worker_deaths: int = 0
    mean_batch: float = 0.0
    largest_batch: int = 0
    network_busy: float = 0.0
    timing: Timing = field(default_factory=Timing)
    seat_payoffs: list = field(default_factory=lambda: [0.0] * PLAYERS)
    shards: list = field(default_factory=list)
    interrupted: bool = False
    error: Optional[str] = None
    workers: int = 0
    device: str = ""
    engine: str = "processes"
    games_in_flight: int = 0
    search_threads: int = 0
    search_cpu: float = 0.0  # seconds of search CPU per evaluation (batched engine)
    backend: str = "torch"  # what ran the network (batched engine)
    actor_rates: list = field(default_factory=list)  # (games/s, positions/s) of each Ray actor

    def _players(self) -> str:
        if self.actor_rates:
            return (f"Ray: {len(self.actor_rates)} actor(s), each a batched engine with up to "
                    f"{self.games_in_flight} games in flight and {self.search_threads} search thread(s)")
        if self.engine == "batched":
            return f"batched engine: {self.games_in_flight} games in flight, {self.search_threads} search thread(s)"
        return f"{self.workers} workers"

    def _per_evaluation(self) -> str:
        if self.engine == "batched":
            return f"search CPU {self.search_cpu * 1e6:.1f} us, network {self.timing.network * 1e6:.1f} us"
        return self.timing.describe()

    def describe(self) -> str:
        rate = (lambda count: count / self.seconds) if self.seconds > 0 else (lambda count: 0.0)
        status = "interrupted" if self.interrupted else "failed" if self.error else "finished"
        lines = [
            f"self-play {status}: {self.games} games, {self.positions} positions in {self.seconds:.1f} s",
            f"  {self._players()}, network on {self.device}"
            + (f" ({self.backend})" if self.engine == "batched" else ""),
            f"  {rate(self.games):.3f} games/s, {rate(self.positions):.1f} positions/s, "
            f"{rate(self.evaluations):.0f} evaluations/s "
            f"(mean batch {self.mean_batch:.2f}, largest {self.largest_batch}, network busy {self.network_busy:.0%})",
            f"  per evaluation: {self._per_evaluation()}",
        ]
        if self.games:
            lines.append(f"  mean game length {self.positions / self.games:.1f} moves; mean payoff per seat "
                         + " ".join(f"{p:.3f}" for p in self.seat_payoffs))
        if self.actor_rates:
            lines.append("  per actor: " + "; ".join(f"{games:.3f} games/s, {positions:.1f} positions/s"
                                                     for games, positions in self.actor_rates))
        if self.failed_games or self.worker_deaths:
            lines.append(f"  failed games {self.failed_games}, worker deaths {self.worker_deaths}")
        if self.shards:
            names = [Path(p).name for p in self.shards]
            listed = ", ".join(names) if len(names) <= 3 else f"{names[0]} ... {names[-1]}"
            lines.append(f"  wrote {len(names)} shard(s) to {Path(self.shards[0]).parent}: {listed}")
        else:
            lines.append("  no shard written")
        if self.error:
            lines.append(f"  error: {self.error}")
        return "\n".join(lines)


def generate(
    model: Any,
    config: EngineConfig,
    out: os.PathLike | str,
    games: int,
    pool_settings: Optional[PoolSettings] = None,
    *,
    games_per_shard: int = 32,
    metadata: Optional[dict] = None,
    progress: bool = True,
    search: Optional[SearchSettings] = None,
) -> SelfPlaySummary:
    """Plays `games` training games with `model` and writes them as shards under `out`.

    The games are played as `pool_settings` say (default: PoolSettings()) and searched as
    `search` says (default: SearchSettings()); every shard's metadata["search"] records it.

    Ctrl-C (KeyboardInterrupt) and pool failures end the run early; every finished game
    is still written, and the summary says what happened.
    """
    search = search or SearchSettings()
    settings = (pool_settings or PoolSettings()).resolved()
    summary = SelfPlaySummary(workers=settings.workers, device=settings.device, engine=settings.engine,
                              games_in_flight=min(settings.games_in_flight, games),
                              search_threads=settings.search_threads)
    seat_totals, tallied = [0.0] * PLAYERS, [0]
    writer = ShardWriter(out, config.dim, {"engine_config": config.to_dict(), "search": search.to_dict(),
                                           **(metadata or {})}, games_per_shard)
    bar = _progress_bar(games, progress)
    started = time.perf_counter()
    pool = open_players({"model": model}, settings, search=search)

    def keep(record: Any) -> None:
        writer.add(record)
        for seat, payoff in enumerate(_payoffs(record)):
            seat_totals[seat] += payoff
        tallied[0] += 1
        if bar is not None:
            elapsed = max(time.perf_counter() - started, 1e-9)
            games, positions = writer.received_games, writer.received_positions
            bar.set_postfix_str(f"{games / elapsed:.2f} games/s, {positions / elapsed:.1f} positions/s", refresh=False)
            bar.update(1)

    try:
        try:
            with pool:
                for record in pool.play_training_games(config, games):
                    keep(record)
        except KeyboardInterrupt:
            summary.interrupted = True
        except play_errors() as error:
            summary.error = str(error)
        for record in pool.unclaimed_records:
            keep(record)
    finally:
        writer.close()
        if bar is not None:
            bar.close()
    summary.seconds = time.perf_counter() - started
    # The counts are those of the games written, whenever an interrupt came.
    summary.games, summary.positions = writer.games, writer.positions
    if settings.engine == "batched":
        _fill_from_player(summary, pool)
    else:
        _fill_from_pool(summary, pool)
    summary.seat_payoffs = [total / tallied[0] if tallied[0] else 0.0 for total in seat_totals]
    summary.shards = [str(p) for p in writer.paths]
    return summary


def _payoffs(record: Any) -> Any:
    """The final payoffs of a batched engine's GameRecord or of a pool's (id, (moves, policies, payoffs))."""
    return record.payoffs if hasattr(record, "payoffs") else record[1][2]


def _fill_from_player(summary: SelfPlaySummary, player: Any) -> None:
    stats = player.stats
    summary.actor_rates = list(getattr(player, "actor_rates", []))
    summary.backend = getattr(player, "backends", {}).get("model", "torch")
    summary.evaluations = stats.evaluations
    summary.failed_games = stats.failed_games
    summary.mean_batch = stats.evaluations / stats.batches if stats.batches else 0.0
    summary.largest_batch = stats.largest_batch
    summary.network_busy = stats.network_seconds / summary.seconds if summary.seconds > 0 else 0.0
    if stats.evaluations:
        summary.search_cpu = stats.search_cpu_seconds / stats.evaluations
        summary.timing = Timing(network=stats.network_seconds / stats.evaluations)


def _fill_from_pool(summary: SelfPlaySummary, pool: Any) -> None:
    stats = pool.stats
    servers = pool.server_stats()
    summary.evaluations = stats.evaluations
    summary.failed_games = stats.failed_games
    summary.worker_deaths = stats.worker_deaths
    requests = sum(s.requests for s in servers.values())
    batches = sum(s.batches for s in servers.values())
    summary.mean_batch = requests / batches if batches else 0.0
    summary.largest_batch = max((s.largest_batch for s in servers.values()), default=0)
    busy = sum(s.convert_seconds + s.network_seconds + s.reply_seconds for s in servers.values())
    summary.network_busy = busy / summary.seconds if summary.seconds > 0 else 0.0
    summary.timing = Timing.from_stats(stats, servers)


def _progress_bar(total: int, enabled: bool) -> Any:
    if not enabled:
        return None
    from tqdm import tqdm

    return tqdm(total=total, unit="game", dynamic_ncols=True, smoothing=0.1)
