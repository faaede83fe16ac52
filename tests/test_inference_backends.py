"""Inference backends: agreement with fp32 PyTorch on a trained network's own self-play, the
choice of `auto` when backends are missing or wrong, exports rebuilt with new weights, and a
backend failing mid-run."""

import subprocess
import sys
from pathlib import Path

import pytest

torch = pytest.importorskip("torch")
np = pytest.importorskip("numpy")

from tavlox_zero import cli  # noqa: E402
from tavlox_zero.nets import inference, network  # noqa: E402
from tavlox_zero.commands.backends import evaluate_all, self_play_positions  # noqa: E402
from tavlox_zero.data.dataset import read_shard  # noqa: E402
from tavlox_zero.engine.engine_config import EngineConfig  # noqa: E402

# A network trained by a short loop run on 9 x 9 (3 iterations of 256 games, 16 simulations).
TRAINED = Path(__file__).parent / "data" / "trained-9x9.pt"
EXPORTED = ("torch-bf16", "onnxruntime", "openvino")


@pytest.fixture(scope="module")
def trained():
    return network.load_checkpoint(TRAINED)[0]


@pytest.fixture(scope="module")
def positions(trained):
    """The trained network's own self-play on its board, and random play on another side."""
    own = self_play_positions(trained, EngineConfig(dim=9), games=4, sims=2, seed=1)
    return own, inference.sample_positions(dim=13, games=1)


def skip_unless_available(backend):
    reason = inference.available_backends()[backend]
    if reason:
        pytest.skip(f"{backend}: {reason}")


def outputs(model, backend, planes):
    return evaluate_all(inference.make_network(model, "cpu", backend, threads=1), planes, 128)


@pytest.mark.parametrize("backend", EXPORTED)
def test_every_backend_agrees_with_fp32_on_real_positions(trained, positions, backend):
    skip_unless_available(backend)
    for planes in positions:
        measured = inference.agreement(outputs(trained, "torch", planes), outputs(trained, backend, planes), planes)
        assert measured.positions == len(planes) and measured.clear_positions > 0
        assert measured.passes(), f"{backend} on {planes.shape[-1]} x {planes.shape[-1]}: {measured.describe()}"


class Stand_in:
    """fp32 PyTorch posing as `backend`, failing as `fault` says."""

    def __init__(self, network, backend, fault):
        self.network, self.backend, self.fault = network, backend, fault

    def __call__(self, planes):
        if self.fault == "raises":
            raise RuntimeError("the compiled network crashed")
        policy, value = self.network(planes)
        return (policy * 4, value) if self.fault == "disagrees" else (policy, value)


@pytest.mark.parametrize("faults, chosen", [
    ({}, "openvino"),
    ({"openvino": "missing"}, "torch-bf16"),
    ({"openvino": "raises", "torch-bf16": "disagrees"}, "onnxruntime"),
    ({"openvino": "disagrees", "torch-bf16": "missing", "onnxruntime": "raises"}, "torch"),
])
def test_auto_serves_the_fastest_backend_that_builds_and_agrees(monkeypatch, trained, faults, chosen):
    real_build = inference._build
    speeds = {"openvino": 4.0, "torch-bf16": 3.0, "onnxruntime": 2.0, "torch": 1.0}

    def build(backend, model, device, threads):
        fault = faults.get(backend)
        if fault == "missing":
            raise inference.BackendUnavailable(f"{backend}: not installed")
        return Stand_in(real_build("torch", model, device, threads), backend, fault)

    monkeypatch.setattr(inference, "_build", build)
    monkeypatch.setattr(inference, "positions_per_second", lambda network, planes: speeds[network.backend])
    monkeypatch.setattr(inference, "_RANKINGS", {})
    served = inference.make_network(trained, "cpu", "auto")
    planes = inference.sample_positions(dim=9, games=1)
    answer = served(planes)
    assert served.backend == chosen
    assert inference.agreement(outputs(trained, "torch", planes), answer, planes).passes()
    # The ranking is remembered; agreement is checked again for every network.
    faults["openvino"] = "disagrees"
    again = inference.make_network(trained, "cpu", "auto")
    again(planes)
    assert again.backend == ("torch-bf16" if chosen == "openvino" else chosen)


@pytest.mark.parametrize("backend", ("onnxruntime", "openvino"))
def test_new_weights_rebuild_the_export(trained, backend):
    """An actor that is sent a promoted network serves the new weights, not its old export."""
    skip_unless_available(backend)
    from tavlox_zero.players.distributed import GameActor, network_payload

    untrained = network.new_model(seed=1)
    actor = GameActor(network_payload({"model": untrained}), "cpu", None, 1, 1, backend=backend)
    planes = inference.sample_positions(dim=9, games=1)
    before = actor.evaluate("model", planes)
    actor.set_networks(network_payload({"model": trained}))
    after = actor.evaluate("model", planes)
    assert inference.agreement(outputs(untrained, "torch", planes), before, planes).passes()
    assert inference.agreement(outputs(trained, "torch", planes), after, planes).passes()
    assert not inference.agreement(before, after, planes).passes()


def test_a_backend_failing_mid_run_ends_selfplay_with_its_name_and_keeps_the_games(monkeypatch, tmp_path, capsys):
    calls = [0]
    real_build = inference._build

    def build(backend, model, device, threads):
        served = real_build("torch", model, device, threads)

        def failing(planes):
            calls[0] += 1
            if calls[0] > 400:
                raise RuntimeError("device lost")
            return served(planes)

        failing.backend = backend
        return failing

    monkeypatch.setattr(inference, "_build", build)
    monkeypatch.setattr("tavlox_zero.players.pool_options.available_backends", lambda device: {})
    out = tmp_path / "run"
    status = cli.main(["selfplay", "--dim", "6", "--sims", "2", "--sample-moves", "2", "--games", "64",
                       "--games-in-flight", "4", "--search-threads", "1", "--games-per-shard", "1",
                       "--device", "cpu", "--backend", "onnxruntime", "--no-progress", "--out", str(out)])
    printed = capsys.readouterr().out
    assert status == 1
    assert "error: the network (onnxruntime backend) failed: RuntimeError: device lost" in printed
    written = sum(read_shard(p).num_games for p in out.glob("shard-*.npz"))
    assert 0 < written < 64 and f"self-play failed: {written} games" in printed


def test_ctrl_c_after_every_openvino_network_is_released_is_a_keyboard_interrupt():
    skip_unless_available("openvino")
    script = """
import gc, os, signal, time
import numpy as np
from tavlox_zero.nets.inference import make_network
from tavlox_zero.nets.network import new_model
for seed in (0, 1):
    network = make_network(new_model(seed=seed), "cpu", "openvino", threads=1)
    network(np.zeros((1, 5, 9, 9), np.uint8))
del network
gc.collect()
signal.signal(signal.SIGINT, signal.default_int_handler)
try:
    os.kill(os.getpid(), signal.SIGINT)
    time.sleep(5)
except KeyboardInterrupt:
    print("interrupted")
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "interrupted"), done.stderr[-2000:]
