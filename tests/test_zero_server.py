"""Batched inference: requests of several workers in one batch, each reply on its own pipe.

The in-process tests drive the server directly with pipes; the pool test runs worker
processes with a stand-in engine module that checks every reply it gets.
"""

import multiprocessing
import queue
import textwrap

import pytest

torch = pytest.importorskip("torch")
np = pytest.importorskip("numpy")

from tavlox_zero.players.server import ClientPipes, InferenceServer  # noqa: E402
from tavlox_zero.players.pool import WorkerPool  # noqa: E402

DIM = 5


class EchoNet(torch.nn.Module):
    """Policy logits = plane 0; value logits = the cell counts of planes 0 to 3. Records batch sizes."""

    def __init__(self):
        super().__init__()
        self.batch_sizes = []

    def forward(self, x):
        self.batch_sizes.append(x.shape[0])
        return x[:, 0].flatten(1), x[:, :4].sum(dim=(2, 3))


def state_for(client, step=0, dim=DIM):
    """Plane 0 marks `client + 1` cells, plane 1 marks `step + 1` cells."""
    state = np.zeros((5, dim, dim), dtype=bool)
    state[0].flat[: client + 1] = True
    state[1].flat[: step + 1] = True
    return state


def start_server(model, requests, clients, **options):
    return InferenceServer(model, requests, clients, "cpu", **options).start()


def test_requests_of_several_workers_are_answered_in_one_batch_each_on_its_own_pipe():
    requests, clients, receivers = queue.Queue(), ClientPipes(), {}
    for client in range(3):
        receivers[client], sender = multiprocessing.Pipe(duplex=False)
        clients.add(client, sender)
    for client in (2, 0, 1):
        requests.put((client, state_for(client).tolist()))
    model = EchoNet()
    server = start_server(model, requests, clients, max_batch=3, max_wait_ms=10_000)
    try:
        replies = {client: receivers[client].recv() for client in range(3)}
    finally:
        server.stop()
        assert server.join(timeout=10), "the server thread did not stop"
    assert model.batch_sizes == [3], f"expected one batch of 3 requests, got batches {model.batch_sizes}"
    for client, (policy, value) in replies.items():
        assert isinstance(policy, list) and isinstance(value, list)
        assert policy == state_for(client)[0].astype(float).ravel().tolist(), f"client {client} got another policy"
        assert value == [client + 1.0, 1.0, 0.0, 0.0], f"client {client} got the value of another request"
    assert server.stats.requests == 3 and server.stats.batches == 1 and server.error is None


def test_a_batch_is_bounded_by_size_and_dispatched_early_when_every_active_client_waits():
    requests, clients = queue.Queue(), ClientPipes()
    receiver, sender = multiprocessing.Pipe(duplex=False)
    clients.add(0, sender)
    for step in range(5):
        requests.put((0, state_for(0, step).tolist()))
    model = EchoNet()
    server = start_server(model, requests, clients, max_batch=2, max_wait_ms=10_000)
    try:
        values = [receiver.recv()[1][1] for _ in range(4)]
        server.active_clients = 1
        values.append(receiver.recv()[1][1])
    finally:
        server.stop()
        server.join(timeout=10)
    assert model.batch_sizes == [2, 2, 1], f"batches {model.batch_sizes}, expected sizes bounded by max_batch=2"
    assert values == [1.0, 2.0, 3.0, 4.0, 5.0], "replies to one client came out of order"


def test_channels_last_states_reach_the_network_channels_first():
    requests, clients = queue.Queue(), ClientPipes()
    receiver, sender = multiprocessing.Pipe(duplex=False)
    clients.add(7, sender)
    state = state_for(3, 2)
    requests.put((7, state.transpose(1, 2, 0).tolist()))
    server = start_server(EchoNet(), requests, clients, max_batch=1, channels_last=True)
    try:
        policy, value = receiver.recv()
    finally:
        server.stop()
        server.join(timeout=10)
    assert policy == state[0].astype(float).ravel().tolist()
    assert value == [4.0, 3.0, 0.0, 0.0]


def test_a_malformed_request_stops_the_server_with_a_clear_error():
    requests, clients = queue.Queue(), ClientPipes()
    receiver, sender = multiprocessing.Pipe(duplex=False)
    clients.add(0, sender)
    requests.put((0, [[[True, False], [True]]]))
    server = start_server(EchoNet(), requests, clients, max_batch=1)
    assert server.join(timeout=10), "the server kept running after a malformed request"
    assert "malformed evaluation requests" in str(server.error), f"unclear server error: {server.error!r}"


def test_a_reply_for_a_vanished_worker_is_dropped():
    requests, clients = queue.Queue(), ClientPipes()
    receiver, sender = multiprocessing.Pipe(duplex=False)
    clients.add(0, sender)
    requests.put((5, state_for(0).tolist()))
    requests.put((0, state_for(1).tolist()))
    server = start_server(EchoNet(), requests, clients, max_batch=1)
    try:
        assert receiver.recv()[1][0] == 2.0
    finally:
        server.stop()
        server.join(timeout=10)
    assert server.stats.dropped == 1 and server.error is None


FAKE_ENGINE = textwrap.dedent(
    """
    # Stand-in for the engine: a few evaluations whose replies must echo this worker's own request.
    STEPS = 6

    def play_training_game(id, config, result_queue, inference_queue, pipe):
        dim = config.dim
        for step in range(STEPS):
            state = [[[False] * dim for _ in range(dim)] for _ in range(5)]
            for cell in range(id + 1):
                state[0][cell // dim][cell % dim] = True
            for cell in range(step + 1):
                state[1][cell // dim][cell % dim] = True
            inference_queue.put((id, state))
            policy, value = pipe.recv()
            if value[:2] != [id + 1.0, step + 1.0]:
                raise RuntimeError(f"worker {id} step {step} got the reply {value}")
        result_queue.put((id, ([(0, id)], [[(id, 1.0)]], [1.0, 0.0, 0.0, 0.0])))
        return 0
    """
)


def test_pool_batches_the_requests_of_its_workers(tmp_path, monkeypatch):
    (tmp_path / "fake_engine_zero.py").write_text(FAKE_ENGINE)
    monkeypatch.syspath_prepend(str(tmp_path))
    from tavlox_zero.engine.engine_config import EngineConfig

    model = EchoNet()
    with WorkerPool(3, {"model": model}, "cpu", max_batch=8, max_wait_ms=5_000, engine="fake_engine_zero") as pool:
        records = list(pool.play_training_games(EngineConfig(dim=DIM), 9))
        stats = pool.server_stats()["model"]
    assert len(records) == 9
    assert pool.stats.failed_games == 0, f"a worker got a reply meant for another: {pool.stats.failures}"
    assert sorted({r[0] for r in records}) == [0, 1, 2], "not every worker played"
    assert stats.largest_batch == 3, f"the workers' requests were not batched together: {model.batch_sizes}"
    assert stats.requests == 9 * 6


FAULTY_ENGINE = textwrap.dedent(
    """
    class PanicException(BaseException):
        pass

    def play_training_game(id, config, result_queue, inference_queue, pipe):
        if config.sims_per_move == 1:
            raise PanicException("assertion failed: visit_dist.len() > 0")
        if config.sims_per_move == 2:
            return 1
        inference_queue.put((id, [[[True] * config.dim] * config.dim] * 5))
        pipe.recv()
        return 0
    """
)


class BrokenNet(torch.nn.Module):
    def forward(self, x):
        raise RuntimeError("out of memory (pretend)")


@pytest.fixture
def faulty_engine(tmp_path, monkeypatch):
    (tmp_path / "faulty_engine_zero.py").write_text(FAULTY_ENGINE)
    monkeypatch.syspath_prepend(str(tmp_path))
    return "faulty_engine_zero"


def all_stopped(pool_pids):
    import os

    for pid in pool_pids:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            continue
        with open(f"/proc/{pid}/stat") as stat:
            if stat.read().rsplit(")", 1)[1].split()[0] != "Z":
                return False
    return True


@pytest.mark.parametrize("sims, message", [
    (1, r"worker \d stopped on an engine fault: PanicException: assertion failed"),
    (2, r"8 games in a row failed; the last: the engine returned status 1"),
])
def test_engine_faults_and_repeated_failures_end_the_run(faulty_engine, sims, message):
    from tavlox_zero.engine.engine_config import EngineConfig
    from tavlox_zero.players.pool import PoolError

    pool = WorkerPool(2, {"model": EchoNet()}, "cpu", engine=faulty_engine)
    with pytest.raises(PoolError, match=message):
        with pool:
            pids = list(pool.worker_pids().values())
            list(pool.play_training_games(EngineConfig(dim=DIM, sims_per_move=sims), 20))
    assert all_stopped(pids), "a worker outlived the failed run"


def test_a_failing_network_ends_the_run_with_the_servers_error(faulty_engine):
    from tavlox_zero.engine.engine_config import EngineConfig
    from tavlox_zero.players.pool import PoolError

    pool = WorkerPool(2, {"model": BrokenNet()}, "cpu", engine=faulty_engine)
    with pytest.raises(PoolError, match=r"inference server of network 'model' failed: .*out of memory \(pretend\)"):
        with pool:
            pids = list(pool.worker_pids().values())
            list(pool.play_training_games(EngineConfig(dim=DIM, sims_per_move=3), 4))
    assert all_stopped(pids), "a worker outlived the failed run"
