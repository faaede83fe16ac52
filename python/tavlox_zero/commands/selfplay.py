"""The `selfplay` command: play training games with a network and write them as a dataset.

The batched engine plays many games at once in this process, one network call per batch
(or, with --engine processes, worker processes play one game each and the network runs
behind a batched inference server). Shards are written every --games-per-shard games,
so an interrupted run keeps every game it finished.
"""

from __future__ import annotations

import argparse
import logging
import os
import signal
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional

from ..engine import engine_config as engine_config_module
from ..engine.constants import DEFAULT_DIM, PLAYERS
from ..engine.engine_config import EngineConfig
from ..base.errors import UsageError, at_least, readable_file, writable_directory
from ..players.pool_options import PoolSettings, open_pool, play_errors
from ..engine.search_settings import SearchSettings

HELP = "play self-play games with a network and write them as a dataset"

log = logging.getLogger(__name__)


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
    from ..data.dataset import ShardWriter

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
    pool = open_pool({"model": model}, settings, search=search)

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


def add_arguments(parser: argparse.ArgumentParser) -> None:
    engine_config_module.add_arguments(parser)
    PoolSettings.add_arguments(parser)
    SearchSettings.add_arguments(parser)
    parser.add_argument("--games", type=int, default=16, help="games to play (default %(default)s)")
    parser.add_argument("--checkpoint", type=Path,
                        help="network checkpoint to play with (default: a fresh network, saved under --out)")
    parser.add_argument("--channels", type=int, default=32, help="width of a fresh network (default %(default)s)")
    parser.add_argument("--blocks", type=int, default=3,
                        help="residual blocks of a fresh network (default %(default)s)")
    parser.add_argument("--seed", type=int, help="seed for a fresh network's weights")
    parser.add_argument("--out", type=Path, default=Path("runs/selfplay"),
                        help="directory for the shards (default %(default)s); numbering continues after any there")
    parser.add_argument("--games-per-shard", type=int, default=32, help="games per shard file (default %(default)s)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


def run(args: argparse.Namespace) -> int:
    from ..nets import network

    for option, value, least in (("--games", args.games, 1), ("--games-per-shard", args.games_per_shard, 1),
                                 ("--channels", args.channels, 2), ("--blocks", args.blocks, 0)):
        at_least(option, value, least)
    config = _engine_config(args, DEFAULT_DIM)
    try:
        pool_settings = PoolSettings.from_args(args)
        search = SearchSettings.from_args(args)
        if pool_settings.engine != "batched" and not search.is_default():
            raise ValueError("search settings other than the defaults need the batched engine: "
                             "leave out --engine processes")
    except (TypeError, ValueError, RuntimeError) as error:
        raise UsageError(str(error)) from error
    if args.checkpoint is not None:
        readable_file(args.checkpoint, "network checkpoint")
    writable_directory(args.out, "--out")
    model, checkpoint, trained_dim = _load_network(args, network, config)
    if trained_dim is not None:
        config = _engine_config(args, trained_dim)
    with _sigterm_as_interrupt():
        summary = generate(
            model, config, args.out, args.games, pool_settings, games_per_shard=args.games_per_shard,
            metadata={"checkpoint": checkpoint, "tavlox_version": _version()}, progress=not args.no_progress,
            search=search,
        )
    print(summary.describe())
    if summary.error:
        return 1
    return 130 if summary.interrupted else 0


def _engine_config(args: argparse.Namespace, default_dim: int) -> EngineConfig:
    try:
        return EngineConfig.from_args(args, default_dim)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from error


def _load_network(args: argparse.Namespace, network: Any, config: EngineConfig) -> tuple[Any, dict, Optional[int]]:
    """The network to play with, its description for the shards' metadata, and the board side
    a checkpoint was trained for (refusing a --dim that differs from it)."""
    if args.checkpoint is not None:
        model, checkpoint = network.load_checkpoint(args.checkpoint)
        trained_dim = network.checkpoint_dim(checkpoint)
        if trained_dim is not None and args.dim is not None and args.dim != trained_dim:
            raise UsageError(f"{args.checkpoint} was trained for {trained_dim}x{trained_dim} boards, not --dim "
                             f"{args.dim}: leave out --dim or give --dim {trained_dim}")
        return model, {"path": str(Path(args.checkpoint).resolve()), "step": int(checkpoint.get("step") or 0),
                       "model_config": checkpoint["model_config"]}, trained_dim
    import torch

    if args.seed is not None:
        torch.manual_seed(args.seed)
    model = network.new_model(channels=args.channels, blocks=args.blocks)
    path = Path(args.out) / f"fresh-network-{time.strftime('%Y%m%d-%H%M%S')}.pt"
    # The board side goes with the network, so that evaluate and train know what it plays.
    network.save_checkpoint(path, model, engine_config=config.to_dict())
    log.info("playing with a fresh network, saved as %s", path)
    return model, {"path": str(path.resolve()), "step": 0, "model_config": network.model_config(model)}, None


class _sigterm_as_interrupt:
    """Within the block, SIGTERM stops the run like Ctrl-C, so finished games are still written."""

    def __enter__(self) -> None:
        self._previous = signal.signal(signal.SIGTERM, self._raise)

    def __exit__(self, *exc_info: Any) -> None:
        signal.signal(signal.SIGTERM, self._previous)

    @staticmethod
    def _raise(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt


def _version() -> str:
    from .. import __version__

    return __version__
