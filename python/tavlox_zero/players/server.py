"""Batched inference for the engine's workers.

Each worker process puts `(id, state)` requests on an inference queue shared by all
workers and then waits on its own pipe for the reply. An `InferenceServer` runs one
network in a thread of the parent process: it gathers the waiting requests of its queue
into a batch (bounded in size and in waiting time), evaluates them in one forward pass
and answers each worker on its pipe with `(policy_logits, value_logits)` as lists.
Several servers (one per network) share the table of worker pipes.
"""

from __future__ import annotations

import logging
import queue
import threading
import time
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import torch

from ..nets.network import inference_model

log = logging.getLogger(__name__)

# How long an idle server sleeps in one wait before it looks at its stop flag again.
IDLE_POLL_SECONDS = 0.05


def resolve_device(device: str | torch.device | None) -> torch.device:
    """"auto" (or None) picks CUDA when present, else the CPU."""
    if device is None or str(device) == "auto":
        return torch.device("cuda" if torch.cuda.is_available() else "cpu")
    resolved = torch.device(device)
    if resolved.type == "cuda" and not torch.cuda.is_available():
        raise ValueError(f"device {device} was asked for, but CUDA is not available")
    return resolved


class ClientPipes:
    """The sending ends of the workers' pipes, by worker id; safe to use from several threads.

    A pipe is closed only under the lock, so no thread ever writes to a closed
    (and possibly reused) file descriptor.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._pipes: dict[int, Any] = {}

    def add(self, worker_id: int, pipe: Any) -> None:
        with self._lock:
            self._pipes[worker_id] = pipe

    def send(self, worker_id: int, message: Any) -> bool:
        """Sends one message; False when the worker is unknown or its pipe is broken."""
        with self._lock:
            pipe = self._pipes.get(worker_id)
            if pipe is None:
                return False
            try:
                pipe.send(message)
            except (OSError, ValueError):
                return False
            return True

    def remove(self, worker_id: int) -> None:
        with self._lock:
            pipe = self._pipes.pop(worker_id, None)
            if pipe is not None:
                pipe.close()

    def close_all(self) -> None:
        with self._lock:
            for pipe in self._pipes.values():
                pipe.close()
            self._pipes.clear()


@dataclass
class ServerStats:
    """Where a server's time went.

    wait_seconds sums, over requests, the time from sending (or arrival, for queues
    without send times) to the start of the request's batch; service_seconds sums, over
    requests, the time from that start until the request's reply was sent. The other
    times are sums over batches.
    """

    requests: int = 0
    batches: int = 0
    largest_batch: int = 0
    dropped: int = 0
    wait_seconds: float = 0.0
    service_seconds: float = 0.0
    convert_seconds: float = 0.0
    network_seconds: float = 0.0
    reply_seconds: float = 0.0

    @property
    def mean_batch(self) -> float:
        return self.requests / self.batches if self.batches else 0.0


class InferenceServer:
    """Serves one network on one request queue, answering on the pipes in `clients`.

    `requests` needs `get(timeout)` raising queue.Empty; a queue that also has
    `get_stamped(timeout)`, returning (time sent, request), lets the server count the
    time requests spent in the queue as waiting. The server dispatches a
    batch as soon as it holds `max_batch` requests or one request from every active
    client (each client has at most one request in flight), or when the first request
    of the batch has waited `max_wait_ms`.
    """

    def __init__(
        self,
        model: torch.nn.Module,
        requests: Any,
        clients: ClientPipes,
        device: str | torch.device = "cpu",
        max_batch: int = 256,
        max_wait_ms: float = 2.0,
        name: str = "model",
        channels_last: bool = False,
    ) -> None:
        if max_batch < 1:
            raise ValueError(f"max_batch must be at least 1, got {max_batch}")
        if max_wait_ms < 0:
            raise ValueError(f"max_wait_ms must not be negative, got {max_wait_ms}")
        self.device = resolve_device(device)
        # A snapshot: later changes to `model` do not reach a running server.
        self.model = inference_model(model, self.device)
        self.requests = requests
        self.clients = clients
        self.max_batch = max_batch
        self.max_wait = max_wait_ms / 1000.0
        self.name = name
        self.channels_last = channels_last
        # Set by the pool: how many workers may have a request in flight right now (0: unknown).
        self.active_clients = 0
        self.stats = ServerStats()
        self.error: Optional[BaseException] = None
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None

    def start(self) -> "InferenceServer":
        self._thread = threading.Thread(target=self._serve, name=f"inference-{self.name}", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stop.set()

    def join(self, timeout: Optional[float] = None) -> bool:
        """Waits for the thread; True when it has ended."""
        if self._thread is None:
            return True
        self._thread.join(timeout)
        return not self._thread.is_alive()

    def evaluate(self, states: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Runs the network on boolean states (B, 5, d, d); returns float32 (policy, value) arrays."""
        x = torch.from_numpy(states).to(self.device, dtype=torch.float32, non_blocking=True)
        with torch.inference_mode():
            policy, value = self.model(x)
        return policy.float().cpu().numpy(), value.float().cpu().numpy()

    def _serve(self) -> None:
        try:
            while not self._stop.is_set():
                batch = self._gather()
                if batch:
                    self._answer(batch)
        except BaseException as error:  # noqa: BLE001 - reported to the pool, which stops the run
            log.exception("inference server %r failed", self.name)
            self.error = error

    def _gather(self) -> list:
        """Returns the next batch as a list of (time sent, request); empty when idle."""
        try:
            batch = [self._get(IDLE_POLL_SECONDS)]
        except queue.Empty:
            return []
        deadline = time.perf_counter() + self.max_wait
        while len(batch) < self._batch_limit():
            try:
                batch.append(self._get(max(deadline - time.perf_counter(), 0.0)))
            except queue.Empty:
                break
        return batch

    def _get(self, timeout: float) -> tuple[float, Any]:
        get_stamped = getattr(self.requests, "get_stamped", None)
        if get_stamped is not None:
            return get_stamped(timeout=timeout)
        request = self.requests.get(timeout=timeout)
        return time.perf_counter(), request

    def _batch_limit(self) -> int:
        active = self.active_clients
        return min(self.max_batch, active) if active > 0 else self.max_batch

    def _answer(self, batch: list) -> None:
        stats = self.stats
        started = time.perf_counter()
        stats.wait_seconds += sum(started - sent for sent, _ in batch)
        ids = [request[0] for _, request in batch]
        states = self._to_array([request[1] for _, request in batch])
        converted = time.perf_counter()
        policy, value = self.evaluate(states)
        evaluated = time.perf_counter()
        for worker_id, p, v in zip(ids, policy, value):
            if not self.clients.send(worker_id, (p.tolist(), v.tolist())):
                # The worker died or was replaced; its game is lost and the pool knows it.
                stats.dropped += 1
            stats.service_seconds += time.perf_counter() - started
        finished = time.perf_counter()
        stats.requests += len(batch)
        stats.batches += 1
        stats.largest_batch = max(stats.largest_batch, len(batch))
        stats.convert_seconds += converted - started
        stats.network_seconds += evaluated - converted
        stats.reply_seconds += finished - evaluated

    def _to_array(self, states: list) -> np.ndarray:
        # One C-level conversion of the whole batch: of nested lists, or of the arrays
        # the pool's workers send.
        try:
            array = np.array(states, dtype=np.bool_)
        except ValueError as error:
            raise ValueError(f"malformed evaluation requests: {error}") from error
        if array.ndim != 4:
            raise ValueError(f"malformed evaluation requests: states of shape {array.shape[1:]} "
                             "are not 3-level nested lists of equal sizes")
        if self.channels_last:
            array = np.ascontiguousarray(array.transpose(0, 3, 1, 2))
        return array
