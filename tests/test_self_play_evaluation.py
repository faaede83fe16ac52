"""Evaluation requests put on the inference queue and the replies read from the pipe."""

import contextlib
import copy
import functools
import io
import operator

import pytest
from tavlox_self_play import play_test_against_random, play_test_game, play_training_game


def first_request(rep, make_config, make_network, make_queue):
    network = make_network(rep=rep)
    config = make_config(dim=6, rep=rep)
    status = play_training_game(9, config, make_queue(), network.inference_queue, network)
    assert status == 0
    return network.requests[0]


def assert_bool_lists(state, shape):
    assert type(state) is list and len(state) == shape[0]
    for middle in state:
        assert type(middle) is list and len(middle) == shape[1]
        for inner in middle:
            assert type(inner) is list and len(inner) == shape[2]
            assert all(leaf is True or leaf is False for leaf in inner), inner


def test_request_channels_first_and_last(make_config, make_network, make_queue):
    first = first_request(1, make_config, make_network, make_queue)
    last = first_request(2, make_config, make_network, make_queue)
    for request in (first, last):
        assert type(request) is tuple and len(request) == 2
        assert request[0] == 9 and type(request[0]) is int
    assert_bool_lists(first[1], (5, 6, 6))
    assert_bool_lists(last[1], (6, 6, 5))
    transposed = [[[first[1][c][r][k] for c in range(5)] for k in range(6)] for r in range(6)]
    assert last[1] == transposed, "rep 2 is not rep 1 with the channels moved last"
    # The opening position: no occupied cell, and player 0 may start on its corner tile.
    assert not any(flag for plane in first[1][:4] for row in plane for flag in row)
    assert first[1][4][0][0] is True


def test_unknown_rep_faults_before_anything_is_sent(panic_type, make_config, make_network):
    network = make_network()
    with pytest.raises(panic_type, match="^Invalid representation type$"):
        play_training_game(0, make_config(rep=3), None, network.inference_queue, network)
    assert network.requests == []


class LengthlessSequence:
    """A sequence whose length cannot be read: converted by iteration."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        raise RuntimeError("no length")


REPLIES = {
    "tuple": lambda policy, values: (policy, values),
    "list": lambda policy, values: [policy, values],
    "dict": lambda policy, values: {0: policy, 1: values},
    "tuples inside": lambda policy, values: (tuple(policy), tuple(values)),
    "integers": lambda policy, values: ([int(x) for x in policy], [1, 0, 0, 0]),
    "lengthless": lambda policy, values: (LengthlessSequence(policy), LengthlessSequence(values)),
    "longer tuple": lambda policy, values: (policy, values, "ignored"),
    "huge integers and booleans": lambda policy, values: (policy, [2**64, True, False, 0]),
}


@pytest.mark.parametrize("shape", REPLIES)
def test_accepted_reply_formats(shape, make_config, make_network, result_queue):
    network = make_network(reply=REPLIES[shape])
    status = play_training_game(2, make_config(), result_queue, network.inference_queue, network)
    assert status == 0, f"a {shape} reply was refused"
    assert len(result_queue.items) == 1


def test_numpy_replies_are_accepted(make_config, make_network, result_queue):
    np = pytest.importorskip("numpy")
    network = make_network(reply=lambda p, v: (np.array(p, np.float32), np.array(v)))
    status = play_training_game(2, make_config(), result_queue, network.inference_queue, network)
    assert status == 0


def error_line(make_config, make_network, reply):
    """Plays against random with a malformed reply; returns the printed error line."""
    network = make_network(reply=reply)
    results = network.queue()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        status = play_test_against_random(0, make_config(), results, network.inference_queue,
                                          network)
    assert status == 1 and results.items == [], "a malformed reply was accepted"
    lines = out.getvalue().splitlines()
    assert len(lines) == 1 and lines[0].startswith("Error running MCTS: "), lines
    return lines[0]


@pytest.mark.parametrize(
    "reply, expected",
    [
        (lambda p, v: ("abc", v), ["TypeError", "str"]),
        (lambda p, v: (p, "abcd"), ["TypeError", "str"]),
        (lambda p, v: (p, 5), ["TypeError", "int"]),
        (lambda p, v: (p, None), ["TypeError", "NoneType"]),
        (lambda p, v: (p[:-1] + ["x"], v), ["TypeError"]),
        (lambda p, v: (p, [0.1, object(), 0.2, 0.3]), ["TypeError"]),
        (lambda p, v: (p,), ["IndexError"]),
        (lambda p, v: {0: p}, ["KeyError"]),
        (lambda p, v: 42, ["TypeError", "int"]),
        (lambda p, v: None, ["TypeError"]),
    ],
)
def test_malformed_replies_are_evaluation_errors(reply, expected, make_config, make_network):
    line = error_line(make_config, make_network, reply)
    for word in expected:
        assert word in line, f"{word!r} missing from {line!r}"


def test_policy_is_converted_before_the_values_are_fetched(make_config, make_network):
    fetched = []

    class Reply:
        def __getitem__(self, index):
            fetched.append(index)
            return "bad" if index == 0 else [0.0] * 4

    error_line(make_config, make_network, lambda p, v: Reply())
    assert fetched == [0], f"elements fetched: {fetched}"


def test_error_line_names_the_exception_and_its_traceback(make_config, make_network):
    def reply(policy, values):
        raise LookupError("no model")

    line = error_line(make_config, make_network, reply)
    assert "LookupError('no model')" in line, line
    assert "test_self_play_evaluation.py" in line, "the traceback is missing: " + line


@pytest.mark.parametrize("fail_at", [1, 3])
def test_a_raising_pipe_ends_every_function_as_specified(fail_at, make_config, make_network,
                                                         make_queue):
    def network():
        return make_network(fail_at=fail_at, error=EOFError("pipe closed"))

    pipe = network()
    results = make_queue()
    assert play_training_game(0, make_config(), results, pipe.inference_queue, pipe) == 1
    assert results.items == []

    pipe = network()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        assert play_test_against_random(0, make_config(), results, pipe.inference_queue,
                                        pipe) == 1
    assert results.items == []
    assert out.getvalue().startswith("Error running MCTS: ")
    assert "EOFError('pipe closed')" in out.getvalue()

    pipe = network()
    queue = pipe.queue()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        with pytest.raises(Exception) as info:
            play_test_game(0, make_config(), None, queue, queue, pipe)
    assert type(info.value) is Exception
    assert str(info.value) == '"Error running MCTS"'
    assert out.getvalue().count("Error running MCTS: ") == 1


def test_a_raising_inference_queue_is_an_evaluation_error(make_config, make_network, make_queue):
    class FullQueue:
        def put(self, item):
            raise OSError("queue full")

    network = make_network()
    results = make_queue()
    assert play_training_game(0, make_config(), results, FullQueue(), network) == 1
    assert results.items == [] and network.calls == 0


class PickyConsumer:
    """Copies every request, then keeps all of it, part of it or nothing, in turn, and
    scribbles over some of the requests it drops."""

    PARTS = [(), (1,), (1, 4), (1, 0, 1)]

    def __init__(self):
        self.copies, self.kept = [], []

    def put(self, request):
        self.copies.append(copy.deepcopy(request))
        turn = len(self.copies) % 6
        if turn < len(self.PARTS):
            part = functools.reduce(operator.getitem, self.PARTS[turn], request)
            self.kept.append((len(self.copies) - 1, self.PARTS[turn], part))
        elif turn == 4:
            state = request[1]
            state[0][0][0] = "scribble"
            state[1][2].append(True)
            state[2][0] = [False] * len(state[2][0])


def planes_of(state, rep):
    """The five planes of a state, each flattened by tile index."""
    if rep == 1:
        return [[flag for row in plane for flag in row] for plane in state]
    return [[cell[k] for row in state for cell in row] for k in range(5)]


# Rows longer than 62 flags (rep 1 on boards from 63 up) are built another way under PyPy;
# that game stops after a few requests, its pipe then raising EOFError.
@pytest.mark.parametrize("rep, dim, requests", [(1, 6, None), (2, 6, None), (1, 64, 8)])
def test_requests_never_change_after_they_were_put(rep, dim, requests, make_config, make_queue):
    consumer = PickyConsumer()

    class Pipe:
        def recv(self):
            if len(consumer.copies) == requests:
                raise EOFError("enough requests")
            legal = planes_of(consumer.copies[-1][1], rep)[4]
            return [2.0 if flag else -2.0 for flag in legal], [0.4, 0.3, 0.2, 0.1]

    config = make_config(dim=dim, rep=rep, sims_per_move=6)
    status = play_training_game(3, config, make_queue(), consumer, Pipe())
    assert status == (0 if requests is None else 1)
    assert len(consumer.copies) == (requests or len(consumer.copies))
    for index, path, part in consumer.kept:
        expected = functools.reduce(operator.getitem, path, consumer.copies[index])
        assert part == expected, f"part {path} of request {index} changed after it was put"
    shape = (5, dim, dim) if rep == 1 else (dim, dim, 5)
    for index, (request_id, state) in enumerate(consumer.copies):
        assert request_id == 3
        assert_bool_lists(state, shape)
        planes = planes_of(state, rep)
        for cell in range(dim * dim):
            covered = [plane[cell] for plane in planes[:4]]
            assert sum(covered) <= 1, f"request {index}: cell {cell} is covered twice"
            assert not (planes[4][cell] and any(covered)), f"request {index}: covered but legal"
        assert any(planes[4]), f"request {index}: a position without legal tiles"
        assert sum(map(any, zip(*planes[:4]))) <= 5 * (index + 1), f"request {index}: too full"


@pytest.mark.parametrize("values", [(), (0.5,), (0.5, 0.5)])
def test_too_few_values_fault_without_crashing(values, panic_type, make_config, make_network, result_queue):
    """Found by fuzzing: a reply with fewer values than players read past the end of them."""
    network = make_network(values=values)
    with pytest.raises(panic_type):
        play_training_game(0, make_config(sims_per_move=4), result_queue, network.inference_queue, network)
    network = make_network(values=values)
    status = play_test_against_random(0, make_config(dim=7), result_queue, network.inference_queue, network)
    assert status in (0, 1), "the greedy match reads no value, so it plays to the end"
