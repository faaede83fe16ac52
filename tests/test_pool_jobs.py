"""The worker pool's job runner against scripted workers: which games count, which are
played again, what ends a run, and what happens to messages that arrive outside a run."""

import collections
import types

import pytest

pytest.importorskip("tavlox_zero._engine")
pytest.importorskip("numpy")

from tavlox_zero.players.job_runner import JobRunner  # noqa: E402
from tavlox_zero.players.pool_stats import PoolError, PoolStats  # noqa: E402
from tavlox_zero.players.worker import AGAINST_BASELINE, FAILED, FAULT, OK, TRAINING, Job, JobDone  # noqa: E402
from tavlox_zero.players.worker_processes import DIED, Worker  # noqa: E402


class ScriptedProcesses:
    """Stands in for WorkerProcesses: every job handed out plays the next scripted game, whose
    messages arrive at the next poll. A game that ends in a death takes its worker with it,
    and a fresh worker takes its place, as a buried worker's replacement would."""

    def __init__(self, games, workers=1):
        self.games = list(games)
        self.workers = {}
        self.events = collections.deque()
        self.clients = self
        self.playing = {}
        self._next_id = 0
        for _ in range(workers):
            self._add_worker()

    def _add_worker(self):
        worker = Worker(self._next_id, None, None)
        self.workers[worker.id] = worker
        self._next_id += 1

    def send(self, worker_id, job):
        assert self.games, "the run asked for more games than were scripted"
        self.playing[worker_id] = self.games.pop(0)
        return True

    def busy(self):
        return sum(1 for w in self.workers.values() if w.job is not None)

    def poll(self, timeout):
        # The real pool would wait for ever here.
        assert self.playing, "the runner waits for messages although no worker plays a game"
        for worker_id, game in list(self.playing.items()):
            worker = self.workers[worker_id]
            for message in messages(game, worker_id):
                self.events.append((worker, message))
            if game.endswith("died"):
                del self.workers[worker_id]
                self._add_worker()
        self.playing.clear()


def messages(game, worker_id):
    """A scripted game's messages, as a worker of the real engine sends them."""
    record = (worker_id, ("moves", "policies", "payoffs"))
    done = JobDone(worker_id, OK, evaluations=3, round_trip_seconds=0.5, game_seconds=2.0)
    return {
        "ok": [record, done],
        "baseline ok": [JobDone(worker_id, OK, value=0.25)],
        "no record": [done],
        "failed": [JobDone(worker_id, FAILED, error="ValueError: bad reply")],
        "fault": [JobDone(worker_id, FAULT, error="PanicException: lost tile")],
        "died": [DIED],
        "record, died": [record, DIED],
    }[game]


def runner_for(processes, servers=None, max_consecutive_failures=8):
    return JobRunner(processes, {} if servers is None else servers, PoolStats(), [], max_consecutive_failures)


@pytest.mark.parametrize("games, n, kind, successes, stats", [
    (["ok", "failed", "ok"], 2, TRAINING, 2, dict(games=2, failed_games=1, lost_games=0)),
    (["died", "ok", "ok"], 2, TRAINING, 2, dict(games=2, failed_games=0, lost_games=1)),
    (["record, died", "ok"], 2, TRAINING, 2, dict(games=1, failed_games=0, lost_games=0)),
    (["no record", "ok"], 1, TRAINING, 1, dict(games=2, failed_games=0, lost_games=0)),
    (["failed", "ok", "failed", "ok"], 2, TRAINING, 2, dict(games=2, failed_games=2, lost_games=0)),
    (["failed", "baseline ok"], 1, AGAINST_BASELINE, 1, dict(games=1, failed_games=1, lost_games=0)),
], ids=["failed game", "death mid-game", "death after the record", "no record", "failures apart",
        "baseline match"])
def test_a_run_plays_lost_and_failed_games_again_and_counts_each(games, n, kind, successes, stats):
    processes = ScriptedProcesses(games)
    runner = runner_for(processes, max_consecutive_failures=2)
    yielded = [message for _, message in runner.run(Job(kind, None, "model"), n)]
    assert len(yielded) == successes
    assert all(isinstance(m, JobDone) == (kind == AGAINST_BASELINE) for m in yielded)
    assert {name: getattr(runner.stats, name) for name in stats} == stats
    assert list(runner.stats.failures) == ["ValueError: bad reply"] * stats["failed_games"]
    assert runner.stats.evaluations == 3 * (games.count("ok") + games.count("no record")) and not processes.games
    assert processes.busy() == 0 and not processes.events


@pytest.mark.parametrize("games, server_error, error", [
    (["fault"], None, r"worker 0 stopped on an engine fault: PanicException: lost tile"),
    (["failed", "failed"], None, r"2 games in a row failed; the last: ValueError: bad reply"),
    (["ok"], RuntimeError("out of memory"), r"inference server of network 'model' failed: RuntimeError"),
], ids=["engine fault", "failures in a row", "server error"])
def test_a_run_ends_with_pool_error(games, server_error, error):
    server = types.SimpleNamespace(error=server_error, active_clients=0, channels_last=False)
    runner = runner_for(ScriptedProcesses(games), {"model": server}, max_consecutive_failures=2)
    with pytest.raises(PoolError, match=error):
        list(runner.run(Job(TRAINING, None, "model"), 1))


@pytest.mark.parametrize("closing", [False, True], ids=["next run", "pool closing"])
def test_messages_of_an_abandoned_run_are_counted_and_its_records_kept(closing):
    processes = ScriptedProcesses(["ok", "ok", "failed"], workers=3)
    runner = runner_for(processes)
    run = runner.run(Job(TRAINING, None, "model"), 3)
    first = next(run)[1]
    run.close()
    runner.closing = closing
    runner.consume_strays()
    assert runner.unclaimed_records == [(1, ("moves", "policies", "payoffs"))] and first[0] == 0
    assert (runner.stats.games, runner.stats.failed_games, runner.stats.abandoned_games) == (
        (2, 0, 1) if closing else (2, 1, 0))
    assert processes.busy() == 0
