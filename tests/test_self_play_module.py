"""The module object, its functions, their signatures and the PanicException type."""

import importlib
import inspect
import platform
import sys

import pytest
import tavlox_self_play

PYPY = platform.python_implementation() == "PyPy"
NAMES = ["play_training_game", "play_test_game", "play_test_against_random"]

SIGNATURES = {
    "play_training_game": "(id, config, result_queue, inference_queue, pipe)",
    "play_test_game": "(id, config, result_queue, model_queue, baseline_queue, pipe)",
    "play_test_against_random": "(id, config, result_queue, inference_queue, pipe)",
}


def test_module_holds_exactly_the_three_functions_and_all():
    public = sorted(name for name in vars(tavlox_self_play) if not name.startswith("__"))
    assert public == sorted(NAMES), f"unexpected module attributes: {public}"
    assert tavlox_self_play.__all__ == NAMES
    assert not tavlox_self_play.__doc__, "the module has an empty documentation string"
    for name in NAMES:
        function = getattr(tavlox_self_play, name)
        assert function.__name__ == name
        assert function.__module__ == "tavlox_self_play", f"{name} is not bound to the module"
        if not PYPY:  # PyPy's built-in functions do not show __self__
            assert function.__self__ is tavlox_self_play


def test_text_signatures_and_documentation():
    for name, signature in SIGNATURES.items():
        function = getattr(tavlox_self_play, name)
        assert function.__text_signature__ == signature, name
        parameters = inspect.signature(function).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters), name
        assert all(p.default is p.empty for p in parameters), f"{name} has a default"
    assert (tavlox_self_play.play_training_game.__doc__ ==
            "Works with Pytorch model to generate self-play data")
    assert not tavlox_self_play.play_test_game.__doc__
    assert not tavlox_self_play.play_test_against_random.__doc__


def test_importing_again_yields_the_same_module_object():
    module = sys.modules.pop("tavlox_self_play")
    try:
        again = importlib.import_module("tavlox_self_play")
    finally:
        sys.modules["tavlox_self_play"] = module
    if PYPY:
        # PyPy does not initialise an extension twice: it copies the first module's namespace
        # into a new module object. The functions are still the very same objects.
        assert all(getattr(again, name) is getattr(module, name) for name in NAMES)
    else:
        assert again is module, "a second initialisation created a new module object"
    assert importlib.import_module("tavlox_self_play") is module
    assert importlib.reload(module) is module
    assert module.__all__ == NAMES, "re-initialisation registered the functions twice"


def test_panic_exception_derives_directly_from_base_exception(panic_type, make_config):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__module__ == "tavlox_self_play"
    assert not issubclass(panic_type, Exception)
    # Created once per process: a later fault raises the very same type.
    with pytest.raises(panic_type):
        tavlox_self_play.play_test_against_random(0, make_config(dim=2), None, None, None)
