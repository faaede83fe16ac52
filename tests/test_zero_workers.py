"""The worker pool with the real engine: records, states, matches, dead workers, interrupts."""

import contextlib
import logging
import os
import random
import signal
import time

import pytest

torch = pytest.importorskip("torch")
np = pytest.importorskip("numpy")
pytest.importorskip("tavlox_self_play")

from tavlox_zero.engine import rules  # noqa: E402
from tavlox_zero.data.dataset import read_shard, write_shard  # noqa: E402
from tavlox_zero.engine.engine_config import EngineConfig  # noqa: E402
from tavlox_zero.nets.network import new_model  # noqa: E402
from tavlox_zero.players.pool import PoolError, WorkerPool  # noqa: E402

CONFIG = EngineConfig(dim=5, sims_per_move=4, sample_moves=3)


class RecordingNet(torch.nn.Module):
    """A tiny network that keeps every input batch it was asked to evaluate."""

    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.inner = new_model(channels=4, blocks=1)
        self.inputs = []

    def forward(self, x):
        self.inputs.append(x.clone())
        return self.inner(x)


def tiny_net():
    torch.manual_seed(0)
    return new_model(channels=4, blocks=1)


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie has exited but is not yet reaped; it no longer runs.
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().split(")")[-1].split()[0] != "Z"


def check_record(record, dim):
    worker_id, (moves, policies, payoffs) = record
    assert len(moves) == len(policies) > 0, "moves and policies differ in length"
    assert len(payoffs) == 4 and abs(sum(payoffs) - 1.0) < 1e-6, f"payoffs {payoffs} do not share 1"
    for (player, tile), policy in zip(moves, policies):
        assert 0 <= player < 4 and 0 <= tile < dim * dim
        assert tile in [t for t, _ in policy], "the move played is not among the searched tiles"


@pytest.mark.parametrize("rep", [1, 2])
def test_encode_record_equals_the_states_the_engine_sent(rep):
    """Every searched root position, replayed from the record, is a state the engine really sent."""
    model = RecordingNet()
    config = EngineConfig(dim=6, rep=rep, sims_per_move=3, sample_moves=4)
    with WorkerPool(1, {"model": model}, "cpu", max_batch=4) as pool:
        (record,) = list(pool.play_training_games(config, 1))
    check_record(record, 6)
    moves = record[1][0]
    sent = torch.cat(model.inputs).bool().numpy()
    assert sent.shape[1:] == (5, 6, 6)
    encoded = rules.encode_record(6, moves)
    assert np.array_equal(sent[0], encoded[0]), "the first request is not the opening position"
    sent_states = {s.tobytes() for s in sent}
    missing = [i for i, state in enumerate(encoded) if state.tobytes() not in sent_states]
    assert not missing, f"root positions {missing[:5]} of {len(moves)} were never sent by the engine"


def test_training_games_from_several_workers_round_trip_through_a_shard(tmp_path):
    with WorkerPool(2, {"model": tiny_net()}, "cpu", max_batch=8) as pool:
        records = list(pool.play_training_games(CONFIG, 4))
        more = list(pool.play_training_games(CONFIG, 2))
    assert len(records) == 4 and len(more) == 2
    for record in records + more:
        check_record(record, CONFIG.dim)
    assert pool.stats.games == 6 and pool.stats.failed_games == 0
    assert pool.stats.evaluations == pool.server_stats()["model"].requests > 0
    shard = read_shard(write_shard(tmp_path / "games.npz", records + more, CONFIG.dim))
    for (_, (moves, policies, payoffs)), (m, p, y) in zip(records + more, shard.records()):
        assert (m, y) == (moves, payoffs), "moves or payoffs changed on the way through the shard"
        assert p == [[(t, float(np.float32(f))) for t, f in policy] for policy in policies], "policies changed"


def test_matches_against_random_players_and_a_baseline():
    nets = {"model": tiny_net(), "baseline": tiny_net()}
    with WorkerPool(2, nets, "cpu") as pool:
        random_payoffs = pool.play_against_random(CONFIG, 3)
        baseline_payoffs = pool.play_against_baseline(CONFIG, 1)
        with pytest.raises(KeyError, match="no network named 'other'"):
            pool.play_against_random(CONFIG, 1, network="other")
    assert len(random_payoffs) == 3 and all(0.0 <= p <= 1.0 for p in random_payoffs)
    assert len(baseline_payoffs) == 1 and 0.0 <= baseline_payoffs[0] <= 1.0
    # Seat 0 asks the model, seats 1 to 3 the baseline, on a 20 x 20 board.
    assert pool.server_stats()["baseline"].requests > pool.server_stats()["model"].requests > 0


def test_a_dead_worker_is_reported_and_replaced(caplog):
    caplog.set_level(logging.ERROR, logger="tavlox_zero.players.pool")
    with WorkerPool(2, {"model": tiny_net()}, "cpu") as pool:
        victim = pool.worker_pids()[0]
        records = []
        for record in pool.play_training_games(CONFIG, 4):
            if not records:
                os.kill(victim, signal.SIGKILL)
            records.append(record)
        pids = list(pool.worker_pids().values())
    assert len(records) == 4, "the lost game was not played again"
    assert pool.stats.worker_deaths == 1
    assert "worker 0" in caplog.text and "SIGKILL" in caplog.text and "started worker 2" in caplog.text
    assert victim not in pids and not any(alive(pid) for pid in pids + [victim])


def test_without_restarts_a_dead_worker_fails_the_run_and_stops_every_process():
    pool = WorkerPool(2, {"model": tiny_net()}, "cpu", max_restarts=0)
    with pytest.raises(PoolError, match=r"worker 1 \(pid \d+\) died from signal SIGKILL.*no restarts left"):
        with pool:
            pids = list(pool.worker_pids().values())
            for _ in pool.play_training_games(CONFIG, 50):
                os.kill(pool.worker_pids()[1], signal.SIGKILL)
    assert not any(alive(pid) for pid in pids), "a worker outlived the failed run"


def test_keyboard_interrupt_stops_every_process_and_keeps_finished_games():
    pool = WorkerPool(3, {"model": tiny_net()}, "cpu")
    received = []
    with pytest.raises(KeyboardInterrupt):
        with pool:
            pids = list(pool.worker_pids().values())
            for record in pool.play_training_games(CONFIG, 100):
                received.append(record)
                if len(received) == 2:
                    raise KeyboardInterrupt
    assert not any(alive(pid) for pid in pids), "a worker outlived the interrupted run"
    for record in pool.unclaimed_records:
        check_record(record, CONFIG.dim)
    assert pool.stats.games >= len(received) + len(pool.unclaimed_records)


def test_a_missing_engine_module_fails_with_a_clear_message():
    with pytest.raises(PoolError, match="cannot import the engine module 'no_such_engine_zero'"):
        with WorkerPool(1, {"model": tiny_net()}, "cpu", engine="no_such_engine_zero") as pool:
            list(pool.play_training_games(CONFIG, 1))


def test_soak_killing_workers_on_a_large_board_keeps_the_count_exact_and_never_stalls():
    import multiprocessing
    import struct

    from tavlox_zero.players.transport import RequestQueue

    # A worker that died halfway through a request spoils only its own pipe.
    requests = RequestQueue(multiprocessing.get_context("spawn"))
    dead, alive_sender = requests.sender(), requests.sender()
    os.write(dead._writer.fileno(), struct.pack("!i", 100_000) + b"part of a state")
    dead.close()
    alive_sender.put((7, np.ones((5, 32, 32), dtype=bool)))
    worker_id, state = requests.get(timeout=5)
    assert worker_id == 7 and state.shape == (5, 32, 32) and state.all()
    requests.close()

    # 5 x 32 x 32 states exceed one atomic pipe write: a worker may die in the middle of one.
    config, games, kills = EngineConfig(dim=32, sims_per_move=1, sample_moves=8), 10, 5
    rng = random.Random(12)

    def stalled(signum, frame):
        raise TimeoutError("the pool stalled after a worker was killed")

    previous = signal.signal(signal.SIGALRM, stalled)
    signal.alarm(240)
    try:
        with WorkerPool(3, {"model": tiny_net()}, "cpu", max_restarts=kills) as pool:
            records, killed = [], 0
            for record in pool.play_training_games(config, games):
                records.append(record)
                # Counted here, not by the pool, whose count lags: never more kills than restarts.
                if killed < kills:
                    # At a random moment of the other workers' games, mid-request or not.
                    time.sleep(rng.uniform(0.0, 0.05))
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(rng.choice(list(pool.worker_pids().values())), signal.SIGKILL)
                    killed += 1
            deaths = pool.stats.worker_deaths
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    assert len(records) == games, f"{len(records)} games for {games} asked, {deaths} workers killed"
    games_played = {tuple(map(tuple, record[1][0])) for record in records}
    assert len(games_played) == games, "a game came back twice"
    for record in records:
        check_record(record, config.dim)
    assert deaths >= 1
