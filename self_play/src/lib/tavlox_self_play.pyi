"""Self-play engine: plays one game per call, asking the network over a queue and a pipe."""

from typing import Any, List, Protocol, Sequence, SupportsFloat, SupportsIndex, Tuple

__all__ = ["play_training_game", "play_test_game", "play_test_against_random"]

class _Config(Protocol):
    @property
    def dim(self) -> SupportsIndex: ...
    @property
    def rep(self) -> SupportsIndex: ...
    @property
    def sims_per_move(self) -> SupportsIndex: ...
    @property
    def sample_moves(self) -> SupportsIndex: ...
    @property
    def c_base(self) -> SupportsFloat: ...
    @property
    def c_init(self) -> SupportsFloat: ...
    @property
    def dirichlet_alpha(self) -> SupportsFloat: ...
    @property
    def exploration_fraction(self) -> SupportsFloat: ...

class _Queue(Protocol):
    def put(self, item: Any, /) -> object: ...

class _Pipe(Protocol):
    # (policy logits indexed by tile, value logits from the player to move), or any object
    # indexable by 0 and 1 holding such sequences.
    def recv(self) -> Any: ...

# (id, state): state as nested lists of bools, channels first (rep 1) or last (rep 2).
EvaluationRequest = Tuple[int, List[List[List[bool]]]]
# (id, (moves as (player, tile), one policy of (tile, visit fraction) per move, payoffs)).
TrainingRecord = Tuple[int, Tuple[List[Tuple[int, int]], List[List[Tuple[int, float]]], List[float]]]
# (id, payoff of seat 0).
MatchResult = Tuple[int, float]

def play_training_game(
    id: SupportsIndex,
    config: _Config,
    result_queue: _Queue,
    inference_queue: _Queue,
    pipe: _Pipe,
) -> int:
    """Works with Pytorch model to generate self-play data"""

def play_test_game(
    id: SupportsIndex,
    config: _Config,
    result_queue: _Queue,
    model_queue: _Queue,
    baseline_queue: _Queue,
    pipe: _Pipe,
) -> float: ...
def play_test_against_random(
    id: SupportsIndex,
    config: _Config,
    result_queue: _Queue,
    inference_queue: _Queue,
    pipe: _Pipe,
) -> int: ...
