"""Modules that moved into the package's layers still import under their old names."""

import importlib
import pickle
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("tavlox_zero._rules")


@pytest.mark.parametrize("old, new, name", [
    ("tavlox_zero.errors", "tavlox_zero.base.errors", "UsageError"),
    ("tavlox_zero.search_settings", "tavlox_zero.engine.search_settings", "SearchSettings"),
    ("tavlox_zero.engine_config", "tavlox_zero.engine.engine_config", "EngineConfig"),
    ("tavlox_zero.stats", "tavlox_zero.rating.stats", "MatchSummary"),
    ("tavlox_zero.reference", "tavlox_zero.players.reference", "parse_players"),
    ("tavlox_zero.web", "tavlox_zero.view.web", "page"),
    ("tavlox_zero.play", "tavlox_zero.commands.play", "PlayApp"),
])
def test_an_old_module_name_is_the_new_module_with_a_deprecation_warning(monkeypatch, old, new, name):
    if old == "tavlox_zero.play":
        pytest.importorskip("numpy")  # the play app's network player
    monkeypatch.delitem(sys.modules, old, raising=False)
    with pytest.warns(DeprecationWarning, match=f"{old} is deprecated, import {new} instead"):
        module = importlib.import_module(old)
    assert module is importlib.import_module(new) is sys.modules[old]
    # A pickle that names the old module path finds the class there.
    assert pickle.loads(f"c{old}\n{name}\n.".encode()) is getattr(importlib.import_module(new), name)


def test_a_renamed_function_still_answers_to_its_old_name_with_a_warning(monkeypatch):
    pytest.importorskip("numpy")  # what the players hold
    from tavlox_zero.players import pool_options

    monkeypatch.setattr(pool_options, "open_players", lambda *a, **k: (a, k))
    with pytest.warns(DeprecationWarning, match="open_pool is now open_players"):
        assert pool_options.open_pool({"model": None}, None, match=1) == (({"model": None}, None), {"match": 1})


@pytest.mark.parametrize("old_module, old_name, new_module, new_name, message", [
    ("tavlox_zero.commands.gtp", "Engine", "tavlox_zero.view.gtp_session", "GtpSession", "Engine is now GtpSession"),
    ("tavlox_zero.engine", "TorchNetwork", "tavlox_zero.nets.torch_network", "TorchNetwork",
     "import it from tavlox_zero.nets.torch_network"),
    ("tavlox_zero.engine", "graph_batch_size", "tavlox_zero.nets.torch_network", "graph_batch_size",
     "import it from tavlox_zero.nets.torch_network"),
])
def test_a_moved_name_still_answers_under_its_old_home_with_a_warning(old_module, old_name, new_module, new_name,
                                                                     message):
    pytest.importorskip("torch" if old_module == "tavlox_zero.engine" else "numpy")
    with pytest.warns(DeprecationWarning, match=message):
        found = getattr(importlib.import_module(old_module), old_name)
    assert found is getattr(importlib.import_module(new_module), new_name)


@pytest.mark.skipif(sys.version_info < (3, 10), reason="the check reads sys.stdlib_module_names")
def test_every_import_looks_down_the_layers_and_sits_at_the_top_of_its_module():
    script = Path(__file__).resolve().parents[1] / "scripts" / "check_layers.py"
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
