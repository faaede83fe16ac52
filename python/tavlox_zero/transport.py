"""Message plumbing between the pool's processes: inference requests, results, and round-trip timing.

Every worker writes its evaluation requests to one inference queue per network (a
pipe shared by all workers, read by that network's server), receives the replies and
its jobs on its own pipe, and sends its results back on a second pipe. This module
imports only NumPy, so worker processes stay free of torch.
"""

from __future__ import annotations

import pickle
import queue
import select
import struct
import time
from typing import Any, Optional

import numpy as np


class RequestQueue:
    """The inference queue of one network: many workers put `(id, state)`, one server gets.

    States arrive as boolean NumPy arrays shaped as the engine nested them.

    Each request travels with the time it was sent (time.perf_counter, a clock shared
    by all processes of the machine), so the server can tell how long it waited. A
    request that fits in one atomic pipe write (a 20 x 20 state does) is written
    without a lock, so a worker killed while writing cannot leave a half message or a
    held lock behind; larger requests are serialised by a lock.
    """

    def __init__(self, context: Any) -> None:
        self._reader, self._writer = context.Pipe(duplex=False)
        self._lock = context.Lock()

    def sender(self) -> "RequestSender":
        """The writing side, to hand to worker processes."""
        return RequestSender(self._writer, self._lock)

    def get(self, timeout: Optional[float] = None) -> Any:
        return self.get_stamped(timeout)[1]

    def get_stamped(self, timeout: Optional[float] = None) -> tuple[float, Any]:
        """(time sent, request); raises queue.Empty after `timeout` seconds without one."""
        if not self._reader.poll(timeout):
            raise queue.Empty
        data = self._reader.recv_bytes()
        return _STAMP.unpack_from(data)[0], pickle.loads(memoryview(data)[_STAMP.size:])

    def close(self) -> None:
        self._reader.close()
        self._writer.close()


_STAMP = struct.Struct("d")


class RequestSender:
    # Connection.send_bytes writes a 4-byte length and the payload in one write.
    _ATOMIC_PAYLOAD = select.PIPE_BUF - 4

    def __init__(self, writer: Any, lock: Any) -> None:
        self._writer = writer
        self._lock = lock

    def put(self, item: Any) -> None:
        # The worker turns the engine's nested lists into an array: a short pickle, and no
        # conversion left for the server, whose time every worker waits for.
        worker_id, state = item
        payload = pickle.dumps((worker_id, np.asarray(state, dtype=np.bool_)), protocol=pickle.HIGHEST_PROTOCOL)
        data = _STAMP.pack(time.perf_counter()) + payload
        if len(data) <= self._ATOMIC_PAYLOAD:
            self._writer.send_bytes(data)
            return
        with self._lock:
            self._writer.send_bytes(data)


class ResultChannel:
    """What the engine sees as its result queue: puts go to the parent over this worker's pipe."""

    def __init__(self, connection: Any) -> None:
        self._connection = connection

    def put(self, item: Any) -> None:
        self._connection.send(item)


class TimedPipe:
    """The engine's pipe; times each round trip from the request's put to the reply."""

    def __init__(self, connection: Any) -> None:
        self._connection = connection
        self.put_time = 0.0
        self.round_trips = 0
        self.round_trip_seconds = 0.0

    def recv(self) -> Any:
        reply = self._connection.recv()
        self.round_trip_seconds += time.perf_counter() - self.put_time
        self.round_trips += 1
        return reply


class TimedSender:
    """A request sender that starts its pipe's round-trip clock with every put."""

    def __init__(self, sender: RequestSender, pipe: TimedPipe) -> None:
        self._sender = sender
        self._pipe = pipe

    def put(self, item: Any) -> None:
        self._pipe.put_time = time.perf_counter()
        self._sender.put(item)
