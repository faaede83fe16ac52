"""The batched self-play engine: many games in one process, one network call per batch.

The games run as fibers on a few C++ search threads that never take the interpreter lock.
Every position a game wants evaluated is encoded straight into a preallocated batch buffer;
this thread hands each closed batch to the network function and writes the answers back
into the engine's output buffers. While the network evaluates one batch, the search fills
the next.

    engine = BatchedEngine("training", config, games=64, networks=[evaluate])
    for record in engine.run():
        ...

`evaluate(planes) -> (policy_logits, value_logits)` receives a zero-copy uint8 NumPy view
of shape (B, STATE_PLANES, dim, dim), channels first, and returns arrays (NumPy, or CPU
PyTorch tensors) of shapes (B, dim * dim) and (B, PLAYERS), the values in the order of the
players from the one to move. `nets.torch_network.TorchNetwork` makes such a function of any
PyTorch module.
"""

from __future__ import annotations

import os
import secrets
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Optional, Sequence

import numpy as np

from .. import _engine
from .._engine import BASELINE_MATCH_DIM, CONFIG_FIELDS, MAX_DIM, MIN_DIM, PLAYERS, STATE_PLANES, EngineError
from .constants import AGAINST_BASELINE, AGAINST_RANDOM, HEAD_TO_HEAD, TRAINING
from .search_settings import MatchSettings, SearchSettings

__all__ = [
    "BASELINE_MATCH_DIM", "CONFIG_FIELDS", "MAX_DIM", "MIN_DIM", "PLAYERS", "STATE_PLANES",
    "AGAINST_BASELINE", "AGAINST_RANDOM", "HEAD_TO_HEAD", "TRAINING", "BatchedEngine", "EngineError",
    "EngineStats", "GameRecord", "NetworkError", "default_search_threads",
]

NetworkFunction = Callable[[np.ndarray], "tuple[Any, Any]"]


class NetworkError(RuntimeError):
    """The network function raised or returned answers of the wrong shape."""


@dataclass
class GameRecord:
    """One training game: its moves, the root policy of every searched position (visit
    fractions, or a Gumbel root's completed-Q target; empty for a move searched with the fast
    budget, which is not trained on), and the final payoffs; the arrays are those a shard stores."""

    index: int
    moves: np.ndarray             # (N, 2) int32: player, tile
    policy_tiles: np.ndarray      # int32, the children of every root in order
    policy_fractions: np.ndarray  # float32, their visit fractions
    policy_lengths: np.ndarray    # (N,) int32: children per root
    payoffs: tuple
    # (N, 4) float32: every player's mean leaf value in the search of each move (play-outs
    # included), absolute order; NaN where the search simulated nothing.
    search_values: Optional[np.ndarray] = None

    def as_lists(self) -> tuple[list, list, list]:
        """(moves, policies, payoffs) as the one-game engine function reports them."""
        moves = [tuple(m) for m in self.moves.tolist()]
        ends = np.cumsum(self.policy_lengths)
        starts = ends - self.policy_lengths
        tiles, fractions = self.policy_tiles.tolist(), self.policy_fractions.tolist()
        policies = [list(zip(tiles[s:e], fractions[s:e])) for s, e in zip(starts.tolist(), ends.tolist())]
        return moves, policies, list(self.payoffs)

    def __len__(self) -> int:
        return len(self.moves)

    @property
    def recorded(self) -> np.ndarray:
        """(N,) bool: the positions searched fully, whose policies are training targets."""
        return self.policy_lengths > 0


@dataclass
class EngineStats:
    """What a run did: counts, rates, and where the time went."""

    games: int = 0
    failed_games: int = 0
    positions: int = 0
    evaluations: int = 0
    batches: int = 0
    largest_batch: int = 0
    seconds: float = 0.0
    network_seconds: float = 0.0
    search_cpu_seconds: float = 0.0
    last_failure: Optional[str] = None

    @property
    def mean_batch(self) -> float:
        return self.evaluations / self.batches if self.batches else 0.0

    @property
    def network_busy(self) -> float:
        return self.network_seconds / self.seconds if self.seconds > 0 else 0.0

    @property
    def search_us_per_evaluation(self) -> float:
        return 1e6 * self.search_cpu_seconds / self.evaluations if self.evaluations else 0.0


def default_search_threads(network_on_gpu: bool = False) -> int:
    """Search threads of the batched engine: every CPU with the network on a GPU; on the CPU
    the network needs CPUs too, so half of them (at least one)."""
    cores = os.cpu_count() or 1
    return cores if network_on_gpu else max(1, cores // 2)


@dataclass
class _Slot:
    planes: np.ndarray
    policy: np.ndarray
    value: np.ndarray


class _HeldOutcomes:
    """The finished games of a run, held until they may leave: in the order of their game
    numbers (`order`), and at the end whatever is held. A failed game is counted in `stats`
    and never leaves; a game that leaves is counted there too."""

    def __init__(self, kind: str, order: Sequence[int], stats: EngineStats) -> None:
        self.kind = kind
        self.stats = stats
        self._held: dict[int, Any] = {}
        self._order = list(order)
        self._position = 0

    def hold(self, finished: list) -> None:
        """Keeps the engine's finished games, as `take_finished()` reports them."""
        for outcome in finished:
            index, error = outcome[0], outcome[1]
            if error is not None:
                self.stats.failed_games += 1
                self.stats.last_failure = error
                self._held[index] = None
                continue
            self._held[index] = self._outcome(outcome)

    def _outcome(self, outcome: tuple) -> Any:
        if self.kind != TRAINING:
            return outcome[2]
        index, _, moves, tiles, fractions, lengths, payoffs, search_values = outcome
        return GameRecord(
            index=index,
            moves=np.frombuffer(moves, dtype=np.int32).reshape(-1, 2),
            policy_tiles=np.frombuffer(tiles, dtype=np.int32),
            policy_fractions=np.frombuffer(fractions, dtype=np.float32),
            policy_lengths=np.frombuffer(lengths, dtype=np.int32),
            payoffs=payoffs,
            search_values=np.frombuffer(search_values, dtype=np.float32).reshape(-1, PLAYERS),
        )

    def release(self, final: bool, numbered: bool) -> Iterator[Any]:
        """The outcomes whose turn has come; with `final`, every one held."""
        while True:
            if self._position < len(self._order) and self._order[self._position] in self._held:
                number = self._order[self._position]
                self._position += 1
            elif final and self._held:
                number = min(self._held)
            else:
                return
            outcome = self._held.pop(number)
            if outcome is None:
                continue
            self.stats.games += 1
            if isinstance(outcome, GameRecord):
                self.stats.positions += len(outcome)
            yield (number, outcome) if numbered else outcome


class BatchedEngine:
    """Plays `games` games of `kind` ("training", "random", "baseline" or "match") with the
    network functions in `networks` (one; two for "baseline": the model in seat 0, the
    baseline in seats 1 to 3; two for "match": the first in seat game number % 4, the second
    in the other three, on config.dim, the outcome the first one's payoff).

    `search` (SearchSettings) says how searched moves are searched; `match` (MatchSettings)
    how "match" and "random" games play. "baseline" ignores both. The defaults give the
    games played without them.

    `run()` yields the outcomes in the order the games were started: a `GameRecord` for a
    training game, seat 0's payoff (a float) for a match. A failed game is replaced by a new
    one, up to `max_failed_games` (default: `games`), and is not yielded. With a `seed` a run
    gives the same games every time, whatever the threads and batch sizes, provided the
    network's answer for a position does not depend on the rest of its batch. A game's draws
    follow from the seed and its number: `game_numbers` (default 0 to games - 1) lets several
    engines share one seed and divide the games between them.

    When the run ends early (the network function failed, Ctrl-C, an engine fault), the
    outcomes finished but not yet yielded are left in `unclaimed` before the exception
    propagates, so that no finished game is lost.
    """

    def __init__(
        self,
        kind: str,
        config: Any,
        games: int,
        networks: Sequence[NetworkFunction],
        *,
        games_in_flight: Optional[int] = None,
        search_threads: Optional[int] = None,
        batch_size: Optional[int] = None,
        slots: int = 2,
        seed: Optional[int] = None,
        max_failed_games: Optional[int] = None,
        game_numbers: Optional[Sequence[int]] = None,
        search: SearchSettings = SearchSettings(),
        match: MatchSettings = MatchSettings(),
    ) -> None:
        expected = 2 if kind in (AGAINST_BASELINE, HEAD_TO_HEAD) else 1
        if len(networks) != expected:
            raise ValueError(f"a {kind!r} run needs {expected} network function(s), got {len(networks)}")
        if games < 0:
            raise ValueError(f"games must not be negative, got {games}")
        in_flight = max(1, min(games_in_flight or 256, games or 1))
        self.kind = kind
        self.games = games
        self.seed = secrets.randbits(63) if seed is None else int(seed)
        self._networks = list(networks)
        self._engine = _engine.Engine(
            kind, config, games, in_flight,
            search_threads or default_search_threads(), batch_size or max(1, -(-in_flight // slots)),
            self.seed, games if max_failed_games is None else max_failed_games, slots,
            None if game_numbers is None else list(game_numbers),
            search=None if search.is_default() else search,
            match=None if match.is_default() else match)
        self.search, self.match = search, match
        self.dim = self._engine.dim
        self.games_in_flight = in_flight
        self._slots = [[_Slot(*(np.asarray(b) for b in self._engine.buffers(n, s)))
                        for s in range(self._engine.slots)] for n in range(self._engine.networks)]
        self.stats = EngineStats()
        self.unclaimed: list = []
        order = range(games) if game_numbers is None else game_numbers
        self._outcomes = _HeldOutcomes(kind, order, self.stats)

    @property
    def batch_size(self) -> int:
        return self._engine.batch_size

    def __enter__(self) -> "BatchedEngine":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def close(self) -> None:
        """Abandons the games in flight and ends the search threads."""
        self._engine.stop()

    def run(self, numbered: bool = False) -> Iterator[Any]:
        """The outcomes, or with `numbered` (game number, outcome) pairs."""
        started = time.perf_counter()
        try:
            while True:
                batch = self._engine.next_batch()
                if batch is None:
                    break
                self._evaluate(*batch)
                yield from self._collect(numbered)
            yield from self._collect(numbered)
            yield from self._outcomes.release(True, numbered)
        except BaseException:
            self._engine.stop()
            self._outcomes.hold(self._engine.take_finished())
            self.unclaimed.extend(self._outcomes.release(True, numbered))
            raise
        finally:
            self._finish_stats(started)

    def _evaluate(self, network: int, slot_index: int, rows: int) -> None:
        slot = self._slots[network][slot_index]
        self.stats.largest_batch = max(self.stats.largest_batch, rows)
        started = time.perf_counter()
        try:
            policy, value = self._networks[network](slot.planes[:rows])
            _write(slot.policy[:rows], policy, "policy logits")
            _write(slot.value[:rows], value, "value logits")
        except NetworkError:
            raise
        except (KeyboardInterrupt, SystemExit):
            raise
        except Exception as error:
            backend = getattr(self._networks[network], "backend", None)
            culprit = "the network function" if backend is None else f"the network ({backend} backend)"
            raise NetworkError(f"{culprit} failed: {type(error).__name__}: {error}") from error
        finally:
            self.stats.network_seconds += time.perf_counter() - started
        self._engine.submit(network, slot_index)

    def _collect(self, numbered: bool) -> Iterator[Any]:
        self._outcomes.hold(self._engine.take_finished())
        yield from self._outcomes.release(False, numbered)

    def _finish_stats(self, started: float) -> None:
        counters = self._engine.stats()
        self.stats.seconds = time.perf_counter() - started
        self.stats.evaluations = counters["evaluations"]
        self.stats.batches = counters["batches"]
        self.stats.search_cpu_seconds = counters["search_cpu_seconds"]


def _write(out: np.ndarray, answer: Any, what: str) -> None:
    answer = _as_array(answer)
    if answer.shape != out.shape:
        raise NetworkError(f"the network function returned {what} of shape {tuple(answer.shape)}, "
                           f"expected {tuple(out.shape)}")
    np.copyto(out, answer, casting="same_kind")


def _as_array(value: Any) -> np.ndarray:
    if isinstance(value, np.ndarray):
        return value
    detach = getattr(value, "detach", None)
    if detach is not None:  # a PyTorch tensor
        return detach().float().cpu().numpy()
    return np.asarray(value, dtype=np.float32)
