"""Whole games: training records, match results, printing, statuses and stops."""

import contextlib
import io
import math
import os
import signal
import subprocess
import sys
import time

import pytest
from tavlox_self_play import play_test_against_random, play_test_game, play_training_game

GLYPHS = set("🟥🟦🟨🟩⬜")


def test_training_record(make_config, make_network, result_queue):
    network = make_network()
    config = make_config(dim=6, sims_per_move=6)
    assert play_training_game(-5, config, result_queue, network.inference_queue, network) == 0
    assert len(result_queue.items) == 1
    record = result_queue.items[0]
    assert type(record) is tuple and len(record) == 2 and record[0] == -5
    data = record[1]
    assert type(data) is tuple and len(data) == 3
    moves, policies, payoffs = data
    assert type(moves) is list and type(policies) is list and type(payoffs) is list
    assert len(moves) == len(policies) > 0, "one policy per move"
    for move in moves:
        assert type(move) is tuple and len(move) == 2
        assert move[0] in range(4) and move[1] in range(36), move
        assert type(move[0]) is int and type(move[1]) is int
    for policy in policies:
        assert type(policy) is list and policy, "every searched root had children"
        for tile, fraction in policy:
            assert type(tile) is int and type(fraction) is float
        assert math.isclose(sum(f for _, f in policy), 1.0, rel_tol=1e-5), policy
    assert all(type(p) is float for p in payoffs) and len(payoffs) == 4
    assert math.isclose(sum(payoffs), 1.0, rel_tol=1e-6), payoffs
    assert {request[0] for request in network.requests} == {-5}


def test_random_match_result(make_config, make_network, result_queue):
    network = make_network()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        status = play_test_against_random(11, make_config(dim=7), result_queue,
                                          network.inference_queue, network)
    assert status == 0
    assert out.getvalue() == "", "a finished random match prints nothing"
    [(match_id, payoff)] = result_queue.items
    assert match_id == 11 and type(payoff) is float and 0.0 <= payoff <= 1.0


def test_test_game_prints_the_board_on_20_whatever_the_dim(make_config, make_network):
    network = make_network()
    model, baseline = network.queue(), network.queue()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        payoff = play_test_game(1, make_config(dim=3), None, model, baseline, network)
    assert type(payoff) is float and 0.0 <= payoff <= 1.0
    lines = out.getvalue().split("\n")
    assert lines[0] == "Finished Game", lines[0]
    board = lines[1:21]
    assert all(len(row) == 20 and set(row) <= GLYPHS for row in board), board
    assert lines[21:] == ["", ""], "the board ends with an empty line"
    assert model.items and baseline.items, "both networks are asked"
    assert all(len(state[0]) == 20 for _, state in network.requests)


def test_test_game_prints_to_c_stdout_without_sys_stdout(make_config, make_network, capfd,
                                                         monkeypatch):
    network = make_network()
    monkeypatch.setattr("sys.stdout", None)
    queue = network.queue()
    play_test_game(1, make_config(), None, queue, queue, network)
    monkeypatch.undo()
    assert capfd.readouterr().out.startswith("Finished Game\n")


@pytest.mark.parametrize("dim", [3, 257, 2**32 + 5, 2**40])
def test_board_size_outside_4_to_256_faults_before_anything_is_sent(panic_type, make_config,
                                                                    make_network, dim):
    network = make_network()
    for play in (play_training_game, play_test_against_random):
        with pytest.raises(panic_type, match=f"Invalid board dimension {dim}: .*4 to 256"):
            play(0, make_config(dim=dim), network.queue(), network.inference_queue, network)
    assert network.requests == []


@pytest.mark.parametrize("dim", [4, 5])
def test_smallest_boards_play(make_config, make_network, result_queue, dim):
    network = make_network()
    config = make_config(dim=dim, sims_per_move=2)
    assert play_training_game(0, config, result_queue, network.inference_queue, network) == 0
    assert play_test_against_random(0, config, result_queue, network.inference_queue,
                                    network) == 0


class RaisingQueue:
    def __init__(self, error):
        self.error = error

    def put(self, item):
        raise self.error


def test_a_lost_result_gives_status_1(make_config, make_network):
    network = make_network()
    queue = RaisingQueue(RuntimeError("queue closed"))
    assert play_training_game(0, make_config(), queue, network.inference_queue, network) == 1
    assert play_test_against_random(0, make_config(), queue, network.inference_queue,
                                    network) == 1


class Stop(BaseException):
    """An interrupt of the caller's own."""


INTERRUPTS = [KeyboardInterrupt(), SystemExit(3), GeneratorExit(), Stop()]


def interrupted(error, call):
    with pytest.raises(type(error)) as info:
        call()
    assert info.value is error, "the interrupt was not raised unchanged"


@pytest.mark.parametrize("error", INTERRUPTS, ids=lambda e: type(e).__name__)
def test_interrupts_stop_every_function_unchanged(error, make_config, make_network, make_queue):
    def every_function(network, result_queue):
        queue = network.inference_queue
        yield lambda: play_training_game(0, make_config(), result_queue, queue, network)
        yield lambda: play_test_against_random(0, make_config(), result_queue, queue, network)
        yield lambda: play_test_game(0, make_config(), None, queue, queue, network)

    for call in every_function(make_network(fail_at=2, error=error), make_queue()):
        interrupted(error, call)

    def raising_reply(policy, values):
        raise error

    for call in every_function(make_network(reply=raising_reply), make_queue()):
        interrupted(error, call)

    class Values:
        def __len__(self):
            raise error

        def __getitem__(self, index):
            return 0.0

    for call in every_function(make_network(reply=lambda p, v: (p, Values())), make_queue()):
        interrupted(error, call)

    network = make_network()
    network.inference_queue = RaisingQueue(error)
    for call in every_function(network, make_queue()):
        interrupted(error, call)

    calls = list(every_function(make_network(), RaisingQueue(error)))
    for call in calls[:2]:  # the matches against the baseline put no result
        interrupted(error, call)

    class Unprintable(Exception):
        def __str__(self):
            raise error

    # Met while the engine renders the pipe's error as text.
    for call in every_function(make_network(error=Unprintable()), make_queue()):
        interrupted(error, call)


def test_ctrl_c_stops_a_training_game(make_config, make_network, make_queue):
    network = make_network()

    class Interrupting:
        def put(self, item):
            network.requests.append(item)
            if len(network.requests) == 3:
                os.kill(os.getpid(), signal.SIGINT)

    # Python's own Ctrl-C handler, even when the suite was started with SIGINT ignored (nohup ... &).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            play_training_game(0, make_config(), make_queue(), Interrupting(), network)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert len(network.requests) == 3, "the game went on after Ctrl-C"


@pytest.mark.parametrize("nested_dim", [4, 20])
def test_a_game_played_inside_a_reply_leaves_the_outer_game_alone(nested_dim, make_config, make_network,
                                                                  make_queue, result_queue):
    nested = []

    class NestedGameNumber:
        """A policy number whose conversion first plays a whole game on the same thread."""

        def __init__(self, value):
            self.value = value

        def __float__(self):
            if not nested:
                inner = make_network()
                config = make_config(dim=nested_dim, sims_per_move=2)
                nested.append(play_training_game(1, config, make_queue(), inner.inference_queue, inner))
            return self.value

    def first_legal_tile_only(policy, values):
        logits = [-1000.0] * len(policy)
        logits[policy.index(2.0)] = 0.0
        logits[-1] = NestedGameNumber(logits[-1])
        return logits, values

    outer = make_network(reply=first_legal_tile_only)
    status = play_training_game(0, make_config(dim=6), result_queue, outer.inference_queue, outer)
    assert nested == [0] and status == 0
    policies = result_queue.items[0][1][1]
    assert all(len(policy) == 1 for policy in policies), "the outer search used another game's logits"


def default_sigint():
    """Run in a child before it starts: Ctrl-C acts even when this suite runs with SIGINT ignored."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


CHAIN_PREAMBLE = """
from array import array

try:
    import pypyjit  # compile the engine's signal check at once, as a long search would
    pypyjit.set_param("function_threshold=2,threshold=2")
except ImportError:
    pass

def logits():
    print("evaluating", flush=True)
    return [1000.0 * i for i in range(16)], [0.25] * 4
"""

CHAIN_SEARCHES = {
    "self-play game": """
from tavlox_self_play import play_training_game

class Config:
    dim, rep, sims_per_move, sample_moves = 4, 1, 2 ** 62, 0
    c_base, c_init, dirichlet_alpha, exploration_fraction = 19652.0, 1.25, 0.3, 0.25

class Queue:
    def put(self, item):
        pass

class Pipe:
    def recv(self):
        return logits()

play_training_game(0, Config(), Queue(), Queue(), Pipe())
""",
    "position search": """
from tavlox_zero._engine import search_position

def evaluate(planes):
    policy, values = logits()
    return array("f", policy), array("f", values)

search_position(4, [], 2 ** 62, evaluate, 0)
""",
}


@pytest.mark.parametrize("search", sorted(CHAIN_SEARCHES))
def test_ctrl_c_stops_a_search_that_no_longer_calls_python(search):
    # One child per node: the tree becomes a chain whose simulations soon all end in finished
    # positions, so the engine stops calling Python while the search has far to go.
    process = subprocess.Popen([sys.executable, "-c", CHAIN_PREAMBLE + CHAIN_SEARCHES[search]],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=default_sigint)
    try:
        assert process.stdout.readline() == "evaluating\n"
        time.sleep(1.0)
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode != 0 and stderr.rstrip().endswith("KeyboardInterrupt"), stderr
