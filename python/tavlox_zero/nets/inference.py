"""Inference backends: the same weights served through PyTorch (fp32 or bf16), ONNX Runtime or
OpenVINO, each as the batched engine's network function `evaluate(planes) -> (policy logits,
value logits)`.

Every backend is built from a model's weights when a player is made or given new weights,
and keeps nothing on disk, so an export can never be older than the weights it serves.

    network = make_network(model, "cpu", "auto", threads=2)
    policy, value = network(planes)          # planes: uint8 (B, 5, dim, dim)
    network.backend                          # the backend that serves, e.g. "openvino"
"""

from __future__ import annotations

import copy
import importlib.util
import io
import logging
import time
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np

from ..engine.constants import STATE_PLANES
from ..engine.rules import Game
from .torch_network import TorchNetwork

BACKENDS = ("auto", "torch", "torch-bf16", "onnxruntime", "openvino")

# What `auto` measures, on a CPU and on CUDA.
CPU_CANDIDATES = ("openvino", "onnxruntime", "torch-bf16", "torch")
CUDA_CANDIDATES = ("torch-bf16", "torch")

# `auto`'s speed rankings, measured once per process: (device, threads, architecture, board
# side, batch size) -> the backends that ran, fastest first.
_RANKINGS: dict = {}

log = logging.getLogger(__name__)


class BackendUnavailable(RuntimeError):
    """A backend that cannot serve here: its library is missing, or the device or the CPU
    lacks what it needs."""


def make_network(model: Any, device: Any = "cpu", backend: str = "torch", *,
                 threads: Optional[int] = None) -> Callable:
    """The network function serving `model` (a PolicyValueNet) on `device` through `backend`.

    `auto` decides on its first batch (`AutomaticNetwork`); the others are built as asked,
    and raise BackendUnavailable when they cannot be. `threads` is the number of CPU threads
    a CPU backend may use (default: torch's setting)."""
    import torch

    device = torch.device(device)
    if backend not in BACKENDS:
        raise ValueError(f"unknown backend {backend!r}; choose one of {', '.join(BACKENDS)}")
    threads = threads or torch.get_num_threads()
    if backend == "auto":
        return AutomaticNetwork(model, device, threads)
    return _build(backend, model, device, threads)


def _build(backend: str, model: Any, device: Any, threads: int) -> Callable:
    from .network import inference_model

    if backend == "torch":
        network = TorchNetwork(inference_model(model, device), device)
    elif backend == "torch-bf16":
        if device.type == "cpu" and not cpu_supports_bf16():
            raise BackendUnavailable("torch-bf16: this CPU has no bf16 arithmetic")
        network = TorchNetwork(inference_model(model, device), device, half=True, half_dtype="bfloat16")
    elif device.type != "cpu":
        raise BackendUnavailable(f"{backend}: runs on the CPU only, not on {device}")
    elif backend == "onnxruntime":
        network = OnnxRuntimeNetwork(model, threads)
    else:
        network = OpenVinoNetwork(model, threads)
    network.backend = backend
    return network


class AutomaticNetwork:
    """`auto`: on its first batch, the fastest backend here that agrees with fp32 PyTorch on
    that very batch, which then serves every call. Which backend is fastest depends on the
    processor, the threads, the network's size, the board and the batch, so it is measured on
    the real batch, once per process for each of those; agreement is checked for every new
    set of weights, since reduced precision may suit one network and not another."""

    def __init__(self, model: Any, device: Any, threads: int) -> None:
        self._model, self._device, self._threads = model, device, threads
        self._chosen: Optional[Callable] = None
        self.backend = "auto"  # until the first batch; then the backend that serves

    def __call__(self, planes: np.ndarray) -> tuple:
        if self._chosen is None:
            self._chosen = self._choose(planes)
            self.backend = self._chosen.backend
            self._model = None
        return self._chosen(planes)

    def _choose(self, planes: np.ndarray) -> Callable:
        reference = _fp32_reference(self._model, self._device)
        expected = tuple(np.array(a, dtype=np.float32) for a in reference(planes))
        key = (str(self._device), self._threads, _architecture(self._model), planes.shape[-1], len(planes))
        # On the CPU the fp32 reference is the torch backend itself; on CUDA that one runs fp16.
        built = {"torch": reference} if self._device.type == "cpu" else {}
        if key not in _RANKINGS:
            candidates = CUDA_CANDIDATES if self._device.type == "cuda" else CPU_CANDIDATES
            speeds = {}
            for backend in candidates:
                network = built.get(backend) or self._try_build(backend)
                speed = None if network is None else _speed(network, planes)
                if speed is not None:
                    built[backend], speeds[backend] = network, speed
            _RANKINGS[key] = sorted(speeds, key=speeds.get, reverse=True)
            log.info("backend speeds (positions/s): %s", {b: round(v) for b, v in speeds.items()})
        for backend in _RANKINGS[key]:
            network = built.get(backend) or self._try_build(backend)
            if network is not None and _agrees(network, expected, planes):
                return network
        return reference

    def _try_build(self, backend: str) -> Optional[Callable]:
        try:
            return _build(backend, self._model, self._device, self._threads)
        except Exception as error:  # noqa: BLE001 - a backend that cannot be built is left out
            log.info("backend %s left out: %s", backend, error)
            return None


def _fp32_reference(model: Any, device: Any) -> Callable:
    """fp32 PyTorch on `device`, without CUDA graphs: what every backend must agree with."""
    from .network import inference_model

    network = TorchNetwork(inference_model(model, device), device, half=False, cuda_graphs=False)
    network.backend = "torch"
    return network


def _architecture(model: Any) -> tuple:
    return (type(model).__name__, getattr(model, "channels", None), getattr(model, "blocks", None))


def _speed(network: Callable, planes: np.ndarray) -> Optional[float]:
    """Positions/s of `network` on `planes`, or None when it fails (it is then left out)."""
    try:
        return positions_per_second(network, planes)
    except Exception as error:  # noqa: BLE001 - a backend that fails is left out
        log.info("backend %s left out: %s", getattr(network, "backend", "?"), error)
        return None


def _agrees(network: Callable, expected: tuple, planes: np.ndarray) -> bool:
    try:
        measured = agreement(expected, network(planes), planes)
    except Exception as error:  # noqa: BLE001 - a backend that fails does not agree
        log.info("backend %s failed: %s", getattr(network, "backend", "?"), error)
        return False
    if not measured.passes():
        log.info("backend %s disagrees with fp32: %s", network.backend, measured.describe())
    return measured.passes()


def positions_per_second(network: Callable, planes: np.ndarray, seconds: float = 0.2) -> float:
    """Positions/s of `network` evaluating `planes` again and again for `seconds` (at least
    three calls), after two calls of warm-up."""
    for _ in range(2):  # warm-up: the first calls compile, allocate, capture or profile
        network(planes)
    calls, started = 0, time.perf_counter()
    while calls < 3 or time.perf_counter() - started < seconds:
        network(planes)
        calls += 1
    return calls * len(planes) / (time.perf_counter() - started)


def cpu_supports_bf16() -> bool:
    """Whether the CPU computes bf16 natively (else bf16 only emulates, slower than fp32)."""
    import torch

    try:
        return bool(torch.ops.mkldnn._is_mkldnn_bf16_supported())
    except (AttributeError, RuntimeError):
        return False


def available_backends(device: Any = "cpu") -> dict:
    """Each concrete backend and why it cannot serve on `device` (None where it can be tried)."""
    import torch

    on_cpu = torch.device(device).type == "cpu"
    reasons = {"torch": None,
               "torch-bf16": None if cpu_supports_bf16() or not on_cpu else "no bf16 arithmetic on this CPU"}
    for backend in ("onnxruntime", "openvino"):
        if not on_cpu:
            reasons[backend] = f"runs on the CPU only, not on {device}"
        elif importlib.util.find_spec(backend) is None:
            reasons[backend] = f"not installed (pip install 'tavlox[{backend}]')"
        else:
            reasons[backend] = None
    return reasons


# --- exported forms -------------------------------------------------------------------------


def _uint8_model(model: Any) -> Any:
    """The folded network taking the engine's uint8 planes directly, for export."""
    import torch

    from .network import PolicyValueNet, _fold_batch_norms

    if type(model) is not PolicyValueNet:
        raise BackendUnavailable(f"exports serve a PolicyValueNet, not a {type(model).__name__}")
    folded = _fold_batch_norms(copy.deepcopy(model).cpu().eval())

    class Uint8Input(torch.nn.Module):
        def __init__(self) -> None:
            super().__init__()
            self.net = folded

        def forward(self, planes: torch.Tensor) -> tuple:
            return self.net(planes.float())

    return Uint8Input().eval()


def export_onnx(model: Any) -> bytes:
    """The network as an ONNX graph with free batch size and board side, input uint8 planes."""
    import torch

    wrapped = _uint8_model(model)
    sample = torch.zeros(1, STATE_PLANES, 5, 5, dtype=torch.uint8)
    buffer = io.BytesIO()
    with warnings.catch_warnings(), torch.no_grad():
        warnings.simplefilter("ignore")
        torch.onnx.export(
            wrapped, (sample,), buffer, input_names=["planes"], output_names=["policy", "value"],
            dynamic_axes={"planes": {0: "batch", 2: "side", 3: "side"},
                          "policy": {0: "batch", 1: "tiles"}, "value": {0: "batch"}},
            opset_version=17, dynamo=False)
    return buffer.getvalue()


class OnnxRuntimeNetwork:
    """The network through an ONNX Runtime session on the CPU."""

    def __init__(self, model: Any, threads: int) -> None:
        try:
            import onnxruntime
        except ImportError as error:
            raise BackendUnavailable("onnxruntime: not installed (pip install 'tavlox[onnxruntime]')") from error
        options = onnxruntime.SessionOptions()
        options.intra_op_num_threads = threads
        options.inter_op_num_threads = 1
        options.log_severity_level = 3
        # Idle threads sleep rather than spin: the search threads need those cores between batches.
        options.add_session_config_entry("session.intra_op.allow_spinning", "0")
        self._session = onnxruntime.InferenceSession(export_onnx(model), options,
                                                     providers=["CPUExecutionProvider"])

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        policy, value = self._session.run(None, {"planes": np.ascontiguousarray(planes, dtype=np.uint8)})
        return policy, value


_OPENVINO_CORE: list = []


def _openvino_core() -> Any:
    """One OpenVINO Core for the whole process, never released. Once every Core of a process
    had been released, the next SIGINT (Ctrl-C between two loop phases, say) ended the process
    with a segmentation fault instead of a KeyboardInterrupt."""
    import openvino

    if not _OPENVINO_CORE:
        _OPENVINO_CORE.append(openvino.Core())
    return _OPENVINO_CORE[0]


class OpenVinoNetwork:
    """The network compiled by OpenVINO for the CPU, in f32 unless `precision` names another
    inference precision (on an AVX-512 CPU without AMX, OpenVINO's default bf16 ran slower
    than f32 and agreed less)."""

    def __init__(self, model: Any, threads: int, precision: str = "f32") -> None:
        try:
            import openvino
        except ImportError as error:
            raise BackendUnavailable("openvino: not installed (pip install 'tavlox[openvino]')") from error
        import torch

        wrapped = _uint8_model(model)
        sample = torch.zeros(1, STATE_PLANES, 5, 5, dtype=torch.uint8)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            converted = openvino.convert_model(
                wrapped, example_input=sample,
                input=[openvino.PartialShape([-1, STATE_PLANES, -1, -1])])
        config = {"INFERENCE_NUM_THREADS": threads, "PERFORMANCE_HINT": "LATENCY", "NUM_STREAMS": 1,
                  "INFERENCE_PRECISION_HINT": precision}
        compiled = _openvino_core().compile_model(converted, "CPU", config)
        self._request = compiled.create_infer_request()

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        self._request.infer([np.ascontiguousarray(planes, dtype=np.uint8)])
        # The request's output buffers are reused by the next call: hand out copies.
        return (np.array(self._request.get_output_tensor(0).data, dtype=np.float32),
                np.array(self._request.get_output_tensor(1).data, dtype=np.float32))


# --- agreement ------------------------------------------------------------------------------

# A backend agrees with fp32 PyTorch when its policies over the legal tiles lie within this
# total-variation distance (mean and worst), it picks the same best tile wherever fp32's two
# best tiles differ by more than CLEAR_MARGIN in probability, and its value probabilities
# differ by at most MAX_VALUE_DIFFERENCE.
MEAN_TV_LIMIT = 0.01
WORST_TV_LIMIT = 0.05
CLEAR_MARGIN = 0.05
MAX_VALUE_DIFFERENCE = 0.01


@dataclass
class Agreement:
    positions: int
    mean_tv: float
    worst_tv: float
    clear_positions: int
    clear_disagreements: int
    top1_agreement: float
    max_value_difference: float

    def passes(self) -> bool:
        return (self.mean_tv <= MEAN_TV_LIMIT and self.worst_tv <= WORST_TV_LIMIT
                and self.clear_disagreements == 0 and self.max_value_difference <= MAX_VALUE_DIFFERENCE)

    def describe(self) -> str:
        return (f"policy TV mean {self.mean_tv:.4f} worst {self.worst_tv:.4f}, top-1 "
                f"{self.clear_positions - self.clear_disagreements}/{self.clear_positions} on clear "
                f"positions ({100 * self.top1_agreement:.1f}% on all), value difference at most "
                f"{self.max_value_difference:.4f}")

    def to_dict(self) -> dict:
        """The measures as JSON allows them: a non-finite one (NaN outputs) is None."""
        finite = {k: (v if np.isfinite(v) else None) for k, v in self.__dict__.items()}
        return {**finite, "passes": self.passes()}


def agreement(reference: tuple, candidate: tuple, planes: np.ndarray) -> Agreement:
    """How closely `candidate`'s (policy logits, value logits) follow `reference`'s on
    `planes`, whose last plane marks each position's legal tiles."""
    legal = np.asarray(planes[:, STATE_PLANES - 1]).reshape(len(planes), -1).astype(bool)
    expected = _masked_softmax(np.asarray(reference[0], dtype=np.float64), legal)
    measured = _masked_softmax(np.asarray(candidate[0], dtype=np.float64), legal)
    if not (np.isfinite(measured).all() and np.isfinite(np.asarray(candidate[1])).all()):
        return Agreement(len(planes), np.inf, np.inf, 0, 0, 0.0, np.inf)
    tv = 0.5 * np.abs(expected - measured).sum(axis=1)
    ranked = np.sort(expected, axis=1)
    clear = (ranked[:, -1] - ranked[:, -2]) > CLEAR_MARGIN if expected.shape[1] > 1 else np.ones(len(planes), bool)
    same_top = expected.argmax(axis=1) == measured.argmax(axis=1)
    values = np.abs(_softmax(np.asarray(reference[1], np.float64)) - _softmax(np.asarray(candidate[1], np.float64)))
    return Agreement(
        positions=len(planes), mean_tv=float(tv.mean()), worst_tv=float(tv.max()),
        clear_positions=int(clear.sum()), clear_disagreements=int((clear & ~same_top).sum()),
        top1_agreement=float(same_top.mean()), max_value_difference=float(values.max()))


def _softmax(logits: np.ndarray) -> np.ndarray:
    shifted = np.exp(logits - logits.max(axis=1, keepdims=True))
    return shifted / shifted.sum(axis=1, keepdims=True)


def _masked_softmax(logits: np.ndarray, legal: np.ndarray) -> np.ndarray:
    # A position with no legal tile (never sent by the engine) is compared over every tile.
    legal = np.where(legal.any(axis=1, keepdims=True), legal, True)
    return _softmax(np.where(legal, logits, -np.inf))


def sample_positions(dim: int = 9, games: int = 4, seed: int = 0) -> np.ndarray:
    """uint8 planes of the positions of `games` games of uniformly random legal tiles, in the
    engine's encoding: a quick, rules-checked sample of positions on any board side."""
    rng = np.random.default_rng(seed)
    states = []
    for _ in range(games):
        game = Game(dim)
        while not game.is_terminal():
            states.append(game.state())
            legal = game.legal_tiles()
            game.apply(legal[int(rng.integers(len(legal)))])
    return np.ascontiguousarray(np.stack(states), dtype=np.uint8)
