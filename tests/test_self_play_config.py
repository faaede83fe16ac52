"""Conversion of the caller's config object, and how its failures reach Python."""

import re
import sys
import types

import pytest
from tavlox_self_play import play_test_against_random, play_training_game

FIELDS = ["dim", "rep", "sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha",
          "exploration_fraction"]


def panic_message(panic_type, config, network=None):
    """Runs a training game that must fault; returns the PanicException's message."""
    network = network or types.SimpleNamespace(inference_queue=None)
    with pytest.raises(panic_type) as info:
        play_training_game(0, config, None, network.inference_queue, network)
    return str(info.value)


class ReadLog:
    """A config that logs the attributes read from it."""

    def __init__(self, **fields):
        object.__setattr__(self, "read", [])
        object.__setattr__(self, "fields", fields)

    def __getattr__(self, name):
        self.read.append(name)
        if name not in self.fields:
            raise AttributeError(name)
        value = self.fields[name]
        if isinstance(value, BaseException):
            raise value
        return value


def config_fields(make_config, **changes):
    fields = vars(make_config()).copy()
    fields.update(changes)
    return fields


def test_missing_attributes_report_only_the_first_in_field_order(panic_type, make_config):
    fields = config_fields(make_config)
    del fields["rep"], fields["c_base"]
    config = ReadLog(**fields)
    message = panic_message(panic_type, config)
    assert "AttributeError" in message and "'rep'" in message, message
    assert "c_base" not in message, message
    assert config.read == ["dim", "rep"], f"fields read: {config.read}"


def test_fields_are_read_in_order_and_nothing_else(panic_type, make_config):
    config = ReadLog(**config_fields(make_config, c_init="high"))
    message = panic_message(panic_type, config)
    assert "failed to extract field Config.c_init" in message, message
    assert config.read == FIELDS[:6], f"fields read: {config.read}"


@pytest.mark.parametrize(
    "field, value, cause",
    [
        ("dim", 20.0, "TypeError"),
        ("dim", "20", "TypeError"),
        ("rep", None, "TypeError"),
        ("sims_per_move", -1, "OverflowError"),
        ("sample_moves", 2**64, "OverflowError"),
        ("c_base", "5", "TypeError"),
        ("exploration_fraction", [0.25], "TypeError"),
    ],
)
def test_unconvertible_values_fault_with_the_field_and_its_cause(panic_type, make_config,
                                                                 make_queue, field, value, cause):
    network = types.SimpleNamespace(inference_queue=make_queue())
    message = panic_message(panic_type, make_config(**{field: value}), network)
    assert f"TypeError('failed to extract field Config.{field}')" in message, message
    assert re.search(rf"cause={cause}\(", message), f"cause should be a {cause}: {message}"
    assert network.inference_queue.items == [], "a game started despite the bad config"


def test_panic_is_not_caught_by_except_exception(panic_type, make_config):
    with pytest.raises(panic_type) as info:
        try:
            play_test_against_random(0, make_config(dim=20.0), None, None, None)
        except Exception:  # noqa: BLE001 - this handler must not see the panic
            pytest.fail("PanicException was caught by `except Exception`")
    assert "failed to extract field Config.dim" in str(info.value)


def test_a_raising_property_stops_the_conversion_with_its_own_error(panic_type, make_config):
    config = ReadLog(**config_fields(make_config, sample_moves=ValueError("broken property")))
    message = panic_message(panic_type, config)
    assert "ValueError('broken property')" in message, message
    assert "failed to extract" not in message, message
    assert config.read == FIELDS[:4]


def test_an_interrupt_while_reading_the_config_is_raised_unchanged(make_config):
    interrupt = KeyboardInterrupt()
    config = ReadLog(**config_fields(make_config, c_base=interrupt))
    with pytest.raises(KeyboardInterrupt) as info:
        play_training_game(0, config, None, None, None)
    assert info.value is interrupt


class Number:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __float__(self):
        return float(self.value)


def test_accepted_values(make_config, make_network, result_queue):
    # Integers for floats, __index__ and __float__ objects, True as 1, the largest word.
    config = make_config(dim=Number(5), rep=True, sims_per_move=Number(3), sample_moves=2**64 - 1,
                         c_base=5, c_init=Number(1), dirichlet_alpha=Number(1))
    network = make_network()
    assert play_training_game(1, config, result_queue, network.inference_queue, network) == 0
    assert len(result_queue.items) == 1


def test_true_converts_to_one(panic_type, make_config):
    assert "Invalid board dimension 1" in panic_message(panic_type, make_config(dim=True))


def test_huge_c_init_becomes_infinity(make_config, make_network, result_queue):
    # At a fresh root the visit count is 0, so the exploration term is 0 * c_init: zero for a
    # finite constant, NaN once 1e300 has become a single-precision infinity.
    network = make_network()
    config = make_config(c_init=1e300)
    assert play_training_game(1, config, result_queue, network.inference_queue, network) == 1
    assert result_queue.items == []


def test_fault_report_goes_to_sys_stderr(panic_type, make_config, capsys):
    panic_message(panic_type, make_config(dim=20.0))
    report = capsys.readouterr().err
    assert "thread" in report and "functions.cpp:" in report, report
    assert "failed to extract field Config.dim" in report, report


def test_fault_report_falls_back_to_c_stderr(panic_type, make_config, capfd, monkeypatch):
    monkeypatch.setattr(sys, "stderr", None)
    panic_message(panic_type, make_config(dim=3))
    monkeypatch.undo()
    report = capfd.readouterr().err
    assert "Invalid board dimension 3" in report, report
