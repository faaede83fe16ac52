"""The policy-value network, its checkpoints (written atomically), the engine configuration and the
constants the package shares with the engine."""

import argparse
import dataclasses
import json

import pytest

torch = pytest.importorskip("torch")
np = pytest.importorskip("numpy")

from tavlox_zero.engine import constants, engine_config  # noqa: E402
from tavlox_zero.nets import network  # noqa: E402
from tavlox_zero.base.atomic import atomic_write, write_json_atomic  # noqa: E402
from tavlox_zero.engine.engine_config import EngineConfig  # noqa: E402


def planes(batch, dim, seed=0):
    generator = torch.Generator().manual_seed(seed)
    return (torch.rand(batch, 5, dim, dim, generator=generator) > 0.5).float()


@pytest.mark.parametrize("dim", [5, 7, 20])
def test_one_network_plays_every_board_side(dim):
    model = network.new_model(channels=8, blocks=2)
    with torch.inference_mode():
        policy, value = model(planes(3, dim))
    assert policy.shape == (3, dim * dim), f"policy logits for a {dim}x{dim} board have shape {tuple(policy.shape)}"
    assert value.shape == (3, 4), f"value logits have shape {tuple(value.shape)}"
    assert torch.isfinite(policy).all() and torch.isfinite(value).all()


def test_policy_logits_follow_the_tiles():
    # A network without any padding effects would be translation-equivariant; here it is
    # enough that a change in one corner of the input moves the policy near that corner most.
    torch.manual_seed(0)
    model = network.new_model(channels=8, blocks=1, mover_corner=False)
    x = planes(1, 9)
    changed = x.clone()
    changed[0, :, 0, 0] = 1 - changed[0, :, 0, 0]
    with torch.inference_mode():
        difference = (model(changed)[0] - model(x)[0]).abs().reshape(9, 9)
    assert difference[:3, :3].sum() > difference[6:, 6:].sum(), "policy logits are not laid out by tile"


def test_a_network_turned_to_the_movers_corner_plays_every_corner_alike():
    """A position and its copy turned so that the mover sits top left get the same value and the
    same policy, turned back; the traced inference copy agrees."""
    from tavlox_zero.engine import rules

    model, game, rng, movers = network.new_model(3, channels=8, blocks=2), rules.Game(9), np.random.default_rng(4), set()
    fast = network.inference_model(model)
    while not game.is_terminal():
        x = torch.from_numpy(game.state().astype(np.float32))[None]
        turned = torch.rot90(x, game.player, dims=(2, 3))
        with torch.inference_mode():
            (policy, value), (turned_policy, turned_value), (fast_policy, _) = model(x), model(turned), fast(x)
        back = torch.rot90(turned_policy.view(1, 1, 9, 9), -game.player, dims=(2, 3)).flatten(1)
        assert torch.allclose(policy, back, atol=1e-5) and torch.allclose(value, turned_value, atol=1e-5), \
            f"player {game.player} after {len(game.history)} tiles is not played as from the top left"
        assert torch.allclose(policy, fast_policy, atol=1e-4), "the inference copy turns differently"
        movers.add(game.player)
        game.apply(int(rng.choice(sorted(game.legal_tiles()))))
    assert movers == {0, 1, 2, 3}


def test_rejects_inputs_that_are_not_square_five_plane_boards():
    model = network.new_model(channels=4, blocks=1)
    with pytest.raises(ValueError, match="expected planes of shape"):
        model(torch.zeros(1, 4, 5, 5))
    with pytest.raises(ValueError, match="expected planes of shape"):
        model(torch.zeros(1, 5, 5, 6))


def test_checkpoint_round_trip_restores_the_same_network(tmp_path):
    torch.manual_seed(1)
    model = network.new_model(channels=8, blocks=2)
    path = tmp_path / "nets" / "model.pt"
    network.save_checkpoint(path, model, step=17, engine_config=EngineConfig(dim=7).to_dict(), extra={"note": "x"})
    loaded, checkpoint = network.load_checkpoint(path)
    assert checkpoint["format"] == "tavlox-zero" and checkpoint["version"] == 1
    assert checkpoint["step"] == 17 and checkpoint["extra"] == {"note": "x"}
    assert checkpoint["model_config"] == network.model_config(model)
    assert EngineConfig.from_dict(checkpoint["engine_config"]) == EngineConfig(dim=7)
    x = planes(2, 7)
    with torch.inference_mode():
        for expected, actual in zip(model(x), loaded(x)):
            assert torch.equal(expected, actual), "the loaded network computes something else"
    assert [p.name for p in path.parent.iterdir()] == ["model.pt"], "a temporary file was left behind"


@pytest.mark.parametrize("failure", [RuntimeError("disk full (pretend)"), KeyboardInterrupt()])
def test_a_failed_atomic_write_keeps_the_old_file_and_leaves_no_temporary(tmp_path, failure):
    path = tmp_path / "state.json"
    write_json_atomic(path, {"old": 1})
    with pytest.raises(type(failure)):
        with atomic_write(path, "w") as f:
            f.write("partial")
            raise failure
    assert json.loads(path.read_text()) == {"old": 1}
    assert [p.name for p in tmp_path.iterdir()] == ["state.json"], "a temporary file was left behind"

def test_loading_a_foreign_file_says_what_is_wrong(tmp_path):
    not_torch = tmp_path / "junk.pt"
    not_torch.write_bytes(b"not a checkpoint")
    with pytest.raises(ValueError, match="not a readable network checkpoint"):
        network.load_checkpoint(not_torch)
    other = tmp_path / "other.pt"
    torch.save({"weights": torch.zeros(2)}, other)
    with pytest.raises(ValueError, match="not a tavlox-zero checkpoint"):
        network.load_checkpoint(other)
    newer = tmp_path / "newer.pt"
    torch.save({"format": "tavlox-zero", "version": 99}, newer)
    with pytest.raises(ValueError, match="version 99 is not supported"):
        network.load_checkpoint(newer)


def test_engine_config_coerces_and_checks_its_fields():
    config = EngineConfig(dim=7.0, c_base=5, sims_per_move=__import__("numpy").int64(8))
    assert (type(config.dim), type(config.c_base), type(config.sims_per_move)) == (int, float, int)
    for bad, message in [({"dim": 7.5}, "dim must be an integer"), ({"rep": True}, "rep must be an integer"),
                         ({"dim": 3}, r"board side \(dim\) must lie in 4 to 256, got 3"), ({"rep": 3}, "rep must be 1"),
                         ({"sims_per_move": 0}, "sims_per_move must be at least 1"),
                         ({"dirichlet_alpha": 0.0}, "dirichlet_alpha must be positive"),
                         ({"exploration_fraction": 1.5}, r"exploration_fraction must lie in \[0, 1\]")]:
        with pytest.raises((TypeError, ValueError), match=message):
            EngineConfig(**bad)
    with pytest.raises(ValueError, match="unknown engine configuration keys: sims"):
        EngineConfig.from_dict({"sims": 3})


def test_engine_config_options_map_to_fields():
    parser = argparse.ArgumentParser()
    engine_config.add_arguments(parser)
    args = parser.parse_args(["--dim", "9", "--sims", "12", "--sample-moves", "4", "--dirichlet-alpha", "0.5"])
    assert EngineConfig.from_args(args) == EngineConfig(dim=9, sims_per_move=12, sample_moves=4, dirichlet_alpha=0.5)
    assert EngineConfig.from_args(parser.parse_args([])) == EngineConfig()
    assert tuple(f.name for f in dataclasses.fields(EngineConfig)) == constants.CONFIG_FIELDS


@pytest.mark.parametrize("name", ["PLAYERS", "STATE_PLANES", "BASELINE_MATCH_DIM", "CONFIG_FIELDS"])
def test_the_package_constants_are_the_engines(name):
    engine = pytest.importorskip("tavlox_zero._engine")
    assert getattr(constants, name) == getattr(engine, name)


@pytest.mark.parametrize("dim, batch", [(5, 1), (7, 3), (20, 8)])
def test_the_inference_copy_computes_what_the_network_computes(dim, batch):
    torch.manual_seed(2)
    model = network.new_model(channels=8, blocks=2)
    # Batch statistics that differ from the initial ones, so that folding them matters.
    model.train()
    with torch.no_grad():
        for _ in range(3):
            model(planes(16, dim, seed=5) * 3)
    model.eval()
    fast = network.inference_model(model)
    x = planes(batch, dim, seed=9)
    with torch.inference_mode():
        for expected, actual in zip(model(x), fast(x)):
            assert torch.allclose(expected, actual, atol=1e-5), "the inference copy computes something else"
    assert any(isinstance(m, torch.nn.BatchNorm2d) for m in model.modules()), "the original network was changed"
