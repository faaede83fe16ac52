"""Argument binding and id conversion of the exported functions."""

import pytest
from tavlox_self_play import play_test_against_random, play_test_game, play_training_game

QUEUE = object()


def message_of(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: play_training_game(0, None, QUEUE, QUEUE),
         "play_training_game() missing 1 required positional argument: 'pipe'"),
        (lambda: play_test_game(0, None),
         "play_test_game() missing 4 required positional arguments: 'result_queue', "
         "'model_queue', 'baseline_queue', and 'pipe'"),
        (lambda: play_test_game(0, None, QUEUE, QUEUE),
         "play_test_game() missing 2 required positional arguments: 'baseline_queue' and 'pipe'"),
        (lambda: play_test_game(0, None, QUEUE, QUEUE, baseline_queue=QUEUE),
         "play_test_game() missing 1 required positional argument: 'pipe'"),
        (lambda: play_training_game(),
         "play_training_game() missing 5 required positional arguments: 'id', 'config', "
         "'result_queue', 'inference_queue', and 'pipe'"),
        (lambda: play_test_against_random(1, 2, 3, 4, 5, 6),
         "play_test_against_random() takes 5 positional arguments but 6 were given"),
        (lambda: play_test_game(1, 2, 3, 4, 5, 6, 7),
         "play_test_game() takes 6 positional arguments but 7 were given"),
        (lambda: play_training_game(1, 2, 3, 4, 5, id=0),
         "play_training_game() got multiple values for argument 'id'"),
        (lambda: play_training_game(1, 2, 3, 4, 5, colour=0),
         "play_training_game() got an unexpected keyword argument 'colour'"),
        # Checks run in order: positional count, then each keyword as given, then missing.
        (lambda: play_training_game(1, 2, 3, 4, 5, 6, colour=0),
         "play_training_game() takes 5 positional arguments but 6 were given"),
        (lambda: play_training_game(0, colour=0, id=1),
         "play_training_game() got an unexpected keyword argument 'colour'"),
        (lambda: play_training_game(0, id=1, colour=0),
         "play_training_game() got multiple values for argument 'id'"),
        (lambda: play_test_against_random(colour=0),
         "play_test_against_random() got an unexpected keyword argument 'colour'"),
    ],
)
def test_binding_errors(call, message):
    assert message_of(call) == message


def test_all_arguments_by_keyword_in_any_order(make_config, make_network, result_queue):
    network = make_network()
    status = play_training_game(pipe=network, inference_queue=network.inference_queue,
                                result_queue=result_queue, config=make_config(), id=4)
    assert status == 0
    assert result_queue.items[0][0] == 4
    queue = network.queue()
    payoff = play_test_game(baseline_queue=queue, pipe=network, model_queue=queue, id=4,
                            config=make_config(), result_queue=None)
    assert isinstance(payoff, float)


@pytest.mark.parametrize("bad_id", ["3", 3.0, None, [1]])
def test_id_type_errors_name_the_parameter_and_keep_the_cause(bad_id):
    # The config (None) would fault if it were converted before the id.
    with pytest.raises(TypeError) as info:
        play_training_game(bad_id, None, QUEUE, QUEUE, QUEUE)
    assert str(info.value).startswith("argument 'id': "), str(info.value)
    cause = info.value.__cause__
    assert type(cause) is TypeError, f"cause is {cause!r}"
    assert str(info.value) == "argument 'id': " + str(cause)


@pytest.mark.parametrize("bad_id", [2**31, -(2**31) - 1, 2**63, -(2**70)])
def test_id_outside_32_bits_raises_overflow_error(bad_id):
    with pytest.raises(OverflowError) as info:
        play_test_against_random(bad_id, None, QUEUE, QUEUE, QUEUE)
    assert not str(info.value).startswith("argument 'id'"), "only type errors name the argument"


class Index:
    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error is not None:
            raise self.error
        return self.value


class TypeErrorKind(TypeError):
    pass


@pytest.mark.parametrize("error", [ValueError("no index"), TypeErrorKind("subclass")])
def test_id_errors_other_than_exact_type_error_pass_unchanged(error):
    with pytest.raises(type(error)) as info:
        play_training_game(Index(error=error), None, QUEUE, QUEUE, QUEUE)
    assert info.value is error


def test_id_bounds_and_index_objects_convert(make_network, make_config, result_queue):
    for good_id in (2**31 - 1, -(2**31), Index(-7), True):
        network = make_network()
        status = play_test_against_random(good_id, make_config(), result_queue,
                                          network.inference_queue, network)
        assert status == 0
        expected = int(good_id.value if isinstance(good_id, Index) else good_id)
        assert {request[0] for request in network.requests} == {expected}
        assert result_queue.items[-1][0] == expected
