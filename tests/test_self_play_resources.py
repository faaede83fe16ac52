"""No reference or memory is kept by a call, whichever way it ends."""

import contextlib
import gc
import io
import platform
import sys
import weakref

import pytest
from tavlox_self_play import play_test_against_random, play_test_game, play_training_game

CPYTHON = platform.python_implementation() == "CPython"


def calls_ending_every_way(config, bad_config, network, result_queue):
    """One call per way out: binding, id, config conversion, fault, evaluation error, game."""
    queue = network.inference_queue
    yield lambda: play_training_game(0, config, result_queue, queue)
    yield lambda: play_training_game(0, config, result_queue, queue, network, pipe=network)
    yield lambda: play_training_game("id", config, result_queue, queue, network)
    yield lambda: play_training_game(0, bad_config, result_queue, queue, network)
    yield lambda: play_test_game(0, bad_config, result_queue, queue, queue, network)
    network.error, network.fail_at = EOFError("closed"), 2
    yield lambda: play_training_game(0, config, result_queue, queue, network)
    yield lambda: play_test_against_random(0, config, result_queue, queue, network)
    yield lambda: play_test_game(0, config, result_queue, queue, queue, network)


def run_quietly(call):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        try:
            call()
        except BaseException as error:  # noqa: B036 - every way out is exercised on purpose
            if isinstance(error, (KeyboardInterrupt, SystemExit)):
                raise


@pytest.mark.skipif(not CPYTHON, reason="reference counts are a CPython notion")
def test_reference_counts_of_the_arguments_stay_unchanged(make_config, make_network):
    config = make_config(sims_per_move=2)
    bad_config = make_config(dim=20.0)
    network = make_network()
    result_queue = network.queue()

    def counts():
        return [sys.getrefcount(o) for o in (config, bad_config, network, result_queue,
                                             network.inference_queue)]

    def round_of_calls():
        network.error, network.fail_at = None, None
        for call in calls_ending_every_way(config, bad_config, network, result_queue):
            run_quietly(call)
        network.requests.clear()
        result_queue.items.clear()

    round_of_calls()
    before = counts()
    for _ in range(40):
        round_of_calls()
    assert counts() == before, "a call kept references to its arguments"


def test_arguments_are_released_after_every_way_out(make_config, make_network):
    config, bad_config = make_config(sims_per_move=2), make_config(dim=20.0)
    network = make_network()
    result_queue = network.queue()
    for call in calls_ending_every_way(config, bad_config, network, result_queue):
        run_quietly(call)
    del call
    # The stored error's traceback refers back to the network. PyPy cannot collect a cycle
    # through a traceback that has crossed into C, so the test breaks this one itself.
    network.error = None
    objects = (config, bad_config, network, result_queue, network.inference_queue)
    references = [weakref.ref(o) for o in objects]
    del config, bad_config, network, result_queue, objects
    # PyPy frees objects that crossed into C one link per collection.
    for _ in range(20):
        gc.collect()
        if all(ref() is None for ref in references):
            break
    alive = [ref() for ref in references if ref() is not None]
    assert alive == [], f"still alive after the calls: {alive}"


def resident_bytes():
    gc.collect()
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_memory_stays_flat_over_many_games(make_config, make_network, make_queue):
    config = make_config(sims_per_move=2)

    def games(count):
        for _ in range(count):
            network, results = make_network(), make_queue()
            play_training_game(0, config, results, network.inference_queue, network)
            play_test_against_random(0, config, results, network.inference_queue, network)
            assert len(results.items) == 2, "a game did not finish"

    # PyPy's heap takes a few hundred games to reach its working size.
    games(50 if CPYTHON else 300)
    before = resident_bytes()
    games(300)
    growth = resident_bytes() - before
    assert growth < 32 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB"
