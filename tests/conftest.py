"""Shared fixtures: an in-process stand-in for the network side of the self-play engine."""

import dataclasses

import pytest


@dataclasses.dataclass
class SelfPlayConfig:
    """A small, fast configuration: boards of 5, a handful of simulations per move."""

    dim: object = 5
    rep: object = 1
    sims_per_move: object = 4
    sample_moves: object = 3
    c_base: object = 19652.0
    c_init: object = 1.25
    dirichlet_alpha: object = 0.3
    exploration_fraction: object = 0.25


class RecordingQueue:
    """A queue whose put keeps every item, and also hands it to `sink` when given."""

    def __init__(self, sink=None):
        self.items = []
        self.sink = sink

    def put(self, item):
        self.items.append(item)
        if self.sink is not None:
            self.sink.append(item)


def legal_plane(state, rep):
    """The legal-tile plane of a request's state, flattened by tile index."""
    if rep == 1:
        return [flag for row in state[4] for flag in row]
    return [cell[4] for row in state for cell in row]


def tuple_reply(policy, values):
    return (policy, values)


class Network:
    """Queues record requests in one list; the pipe (recv) answers the latest request.

    The policy logits favour the legal tiles of the request, the value logits are fixed.
    `reply` shapes the answer from (policy, values); `fail_at`/`error` make the n-th recv
    raise `error` instead.
    """

    def __init__(self, rep=1, reply=tuple_reply, values=(0.4, 0.3, 0.2, 0.1), fail_at=None,
                 error=None):
        self.rep = rep
        self.reply = reply
        self.values = list(values)
        self.fail_at = fail_at
        self.error = error
        self.requests = []
        self.calls = 0
        self.inference_queue = RecordingQueue(self.requests)

    def queue(self):
        return RecordingQueue(self.requests)

    def recv(self):
        self.calls += 1
        if self.error is not None and self.calls >= (self.fail_at or 1):
            raise self.error
        _, state = self.requests[-1]
        policy = [2.0 if legal else -2.0 for legal in legal_plane(state, self.rep)]
        return self.reply(policy, list(self.values))


@pytest.fixture
def make_config():
    return SelfPlayConfig


@pytest.fixture
def make_queue():
    return RecordingQueue


@pytest.fixture
def make_network():
    return Network


@pytest.fixture
def network():
    return Network()


@pytest.fixture
def result_queue():
    return RecordingQueue()


@pytest.fixture(scope="session")
def panic_type():
    """PanicException, which the module does not export: taken from a call that faults."""
    import tavlox_self_play

    try:
        tavlox_self_play.play_training_game(0, SelfPlayConfig(dim=3), RecordingQueue(),
                                            RecordingQueue(), None)
    except BaseException as error:  # noqa: B036 - the type is what this fixture is for
        return type(error)
    raise AssertionError("a board of 3 should have stopped the call with a fault")
