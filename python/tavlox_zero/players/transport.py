"""Message plumbing between the pool's processes: inference requests, results, and round-trip timing.

Every worker writes its evaluation requests to one inference queue per network (a
pipe shared by all workers, read by that network's server), receives the replies and
its jobs on its own pipe, and sends its results back on a second pipe. This module
imports only NumPy, so worker processes stay free of torch.
"""

from __future__ import annotations

import pickle
import queue
import struct
import threading
import time
from multiprocessing import connection
from typing import Any, Optional

import numpy as np


class RequestQueue:
    """The inference queue of one network: many workers put `(id, state)`, one server gets.

    States arrive as boolean NumPy arrays shaped as the engine nested them.

    Each request travels with the time it was sent (time.perf_counter, a clock shared
    by all processes of the machine), so the server can tell how long it waited. Every
    sender writes to a pipe of its own and the server waits on all of them: nothing is
    shared between workers, so a worker killed while writing, whatever the size of its
    request, leaves no lock held and spoils only its own pipe, which the server then drops.
    """

    def __init__(self, context: Any) -> None:
        self._context = context
        # sender() runs in the pool's thread, get_stamped in the server's.
        self._lock = threading.Lock()
        self._readers: list = []
        self._next = 0

    def sender(self) -> "RequestSender":
        """The writing side of a new pipe, for one worker process. The caller closes it once
        the worker holds its copy, so that the worker's death closes the pipe."""
        reader, writer = self._context.Pipe(duplex=False)
        with self._lock:
            self._readers.append(reader)
        return RequestSender(writer)

    def get(self, timeout: Optional[float] = None) -> Any:
        return self.get_stamped(timeout)[1]

    def get_stamped(self, timeout: Optional[float] = None) -> tuple[float, Any]:
        """(time sent, request); raises queue.Empty after `timeout` seconds without one."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            with self._lock:
                readers = list(self._readers)
            remaining = None if deadline is None else max(deadline - time.monotonic(), 0.0)
            # Pipes of workers started meanwhile join at the next wait.
            ready = connection.wait(readers, min(remaining, _NEW_SENDERS_POLL) if remaining is not None
                                    else _NEW_SENDERS_POLL)
            if not ready:
                if deadline is not None and time.monotonic() >= deadline:
                    raise queue.Empty
                continue
            # The first ready pipe after the one served last, so that no worker waits behind the others.
            reader = min(ready, key=lambda r: (readers.index(r) - self._next) % len(readers))
            self._next = readers.index(reader) + 1
            try:
                data = reader.recv_bytes()
            except (EOFError, OSError):
                self._drop(reader)
                continue
            return _STAMP.unpack_from(data)[0], pickle.loads(memoryview(data)[_STAMP.size:])

    def _drop(self, reader: Any) -> None:
        """Forgets the pipe of a worker that has gone (a part of a message it left included)."""
        with self._lock:
            self._readers.remove(reader)
        reader.close()

    def close(self) -> None:
        with self._lock:
            readers, self._readers = self._readers, []
        for reader in readers:
            reader.close()


_STAMP = struct.Struct("d")
# Longest a server waits before it also watches the pipes of workers started since it began.
_NEW_SENDERS_POLL = 0.05


class RequestSender:
    """One worker's end of its request pipe."""

    def __init__(self, writer: Any) -> None:
        self._writer = writer

    def put(self, item: Any) -> None:
        # The worker turns the engine's nested lists into an array: a short pickle, and no
        # conversion left for the server, whose time every worker waits for.
        worker_id, state = item
        payload = pickle.dumps((worker_id, np.asarray(state, dtype=np.bool_)), protocol=pickle.HIGHEST_PROTOCOL)
        self._writer.send_bytes(_STAMP.pack(time.perf_counter()) + payload)

    def close(self) -> None:
        self._writer.close()


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
