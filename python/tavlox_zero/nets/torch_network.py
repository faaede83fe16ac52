"""The network function of a PyTorch module, as the batched engine calls it:
`evaluate(planes) -> (policy logits, value logits)` on uint8 planes (B, STATE_PLANES, dim, dim).

On a GPU the batch goes through pinned host buffers, and each padded batch size is captured
once as a CUDA graph and replayed, so a batch costs one launch.
"""

from __future__ import annotations

import warnings
from typing import Any, Callable, Optional

import numpy as np


class TorchNetwork:
    """The network function of a PyTorch module taking (B, planes, dim, dim) float input and
    returning (policy logits, value logits).

    On the CPU the batch is read in place, in fp32 unless `half` asks for bf16 autocast. On
    CUDA it goes through pinned host buffers with non-blocking copies, the forward pass runs
    under `half_dtype` autocast (float16 by default), and each padded batch size is captured
    once as a CUDA graph and replayed (`cuda_graphs`), so a batch costs one launch.
    """

    def __init__(self, model: Any, device: Any = "cpu", half: Optional[bool] = None, *,
                 half_dtype: str = "float16", cuda_graphs: bool = True) -> None:
        import torch

        self._torch = torch
        self.device = torch.device(device)
        self.model = model.to(self.device).eval()
        self.half = self.device.type == "cuda" if half is None else half
        on_cpu = self.device.type == "cpu"
        # CPU autocast computes in bf16 only.
        self.dtype = torch.bfloat16 if on_cpu else getattr(torch, half_dtype)
        self._pinned: dict[str, Any] = {}
        self._graphs = CudaGraphs(self._forward, self.device) if cuda_graphs and not on_cpu else None

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        torch = self._torch
        with torch.inference_mode():
            if self.device.type == "cpu":
                policy, value = self._forward(torch.from_numpy(planes))
                return policy.numpy(), value.numpy()
            if self._graphs is not None:
                try:
                    return self._graphs(planes)
                except Exception as error:  # noqa: BLE001 - eager execution computes the same
                    warnings.warn(f"CUDA graphs disabled ({type(error).__name__}: {error}); running eagerly")
                    self._graphs = None
            return self._on_device(planes)

    def _forward(self, planes: Any) -> tuple:
        torch = self._torch
        with torch.autocast(self.device.type, dtype=self.dtype, enabled=self.half):
            policy, value = self.model(planes.float())
        return policy.float(), value.float()

    def _on_device(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        torch = self._torch
        rows = planes.shape[0]
        staged = self._buffer("planes", planes.shape, torch.uint8)
        staged.copy_(torch.from_numpy(planes))
        policy, value = self._forward(staged.to(self.device, non_blocking=True))
        policy_out = self._buffer("policy", (rows, policy.shape[1]), torch.float32)
        value_out = self._buffer("value", (rows, value.shape[1]), torch.float32)
        policy_out.copy_(policy, non_blocking=True)
        value_out.copy_(value, non_blocking=True)
        torch.cuda.current_stream(self.device).synchronize()
        return policy_out.numpy(), value_out.numpy()

    # Pinned buffers grown to the largest batch seen, viewed at each batch's size.
    def _buffer(self, name: str, shape: tuple, dtype: Any) -> Any:
        torch = self._torch
        buffer = self._pinned.get(name)
        if buffer is None or buffer.shape[0] < shape[0] or buffer.shape[1:] != tuple(shape[1:]):
            buffer = torch.empty(tuple(shape), dtype=dtype, pin_memory=True)
            self._pinned[name] = buffer
        return buffer[: shape[0]]


def graph_batch_size(rows: int) -> int:
    """The batch size a batch of `rows` is padded to for a captured graph: a power of two up
    to 16, then a multiple of 16, so a few graphs serve every size with little padding."""
    if rows <= 16:
        return 1 << max(0, rows - 1).bit_length()
    return -(-rows // 16) * 16


class CudaGraphs:
    """`forward` (uint8 planes on the device -> fp32 outputs) captured as one CUDA graph per
    padded batch size and board, with pinned host buffers for the copies in and out."""

    def __init__(self, forward: Callable, device: Any) -> None:
        self._forward = forward
        self._device = device
        self._captured: dict[tuple, dict] = {}

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        import torch

        rows = planes.shape[0]
        size = graph_batch_size(rows)
        entry = self._captured.get((size, planes.shape[1:]))
        if entry is None:
            entry = self._capture(size, planes.shape[1:])
        host = entry["host_planes"]
        host[:rows].copy_(torch.from_numpy(planes))
        host[rows:].zero_()
        entry["planes"].copy_(host, non_blocking=True)
        entry["graph"].replay()
        entry["host_policy"].copy_(entry["policy"], non_blocking=True)
        entry["host_value"].copy_(entry["value"], non_blocking=True)
        torch.cuda.current_stream(self._device).synchronize()
        return entry["host_policy"][:rows].numpy(), entry["host_value"][:rows].numpy()

    def _capture(self, size: int, shape: tuple) -> dict:
        import torch

        planes = torch.zeros((size, *shape), dtype=torch.uint8, device=self._device)
        side = torch.cuda.Stream(self._device)
        side.wait_stream(torch.cuda.current_stream(self._device))
        with torch.cuda.stream(side):
            for _ in range(3):  # warm-up outside the graph, as capture requires
                self._forward(planes)
        torch.cuda.current_stream(self._device).wait_stream(side)
        graph = torch.cuda.CUDAGraph()
        with torch.cuda.graph(graph):
            policy, value = self._forward(planes)
        entry = {"graph": graph, "planes": planes, "policy": policy, "value": value,
                 "host_planes": torch.empty((size, *shape), dtype=torch.uint8, pin_memory=True),
                 "host_policy": torch.empty(tuple(policy.shape), dtype=torch.float32, pin_memory=True),
                 "host_value": torch.empty(tuple(value.shape), dtype=torch.float32, pin_memory=True)}
        self._captured[(size, shape)] = entry
        return entry
