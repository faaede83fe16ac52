"""Self-play and matches on a local Ray instance: shards as a local run writes them, actors
killed mid-run, weight updates, and the message when Ray is missing."""

import os
import signal

import pytest

pytest.importorskip("torch")
np = pytest.importorskip("numpy")

from tavlox_zero import cli  # noqa: E402
from tavlox_zero.players import distributed  # noqa: E402
from tavlox_zero.data.dataset import read_shard  # noqa: E402
from tavlox_zero.engine.engine_config import EngineConfig  # noqa: E402
from tavlox_zero.nets.network import new_model  # noqa: E402
from tavlox_zero.players.pool_options import PoolSettings  # noqa: E402

TINY = ["--dim", "5", "--sims", "3", "--sample-moves", "3", "--channels", "4", "--blocks", "1", "--seed", "1",
        "--device", "cpu", "--no-progress", "--games-in-flight", "3", "--search-threads", "1", "--threads", "1",
        "--game-seed", "11"]


@pytest.fixture(scope="module")
def ray():
    ray = pytest.importorskip("ray")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, _node_ip_address="127.0.0.1")
    yield ray
    ray.shutdown()


@pytest.fixture
def player(ray):
    import torch

    torch.manual_seed(0)
    player = distributed.RayPlayer({"model": new_model(channels=4, blocks=1)}, "cpu", actors=2, cpus_per_actor=1,
                                   games_in_flight=3, search_threads=1, cpu_threads=1, seed=5)
    yield player
    player.close()


def shards_of(directory):
    return [read_shard(path) for path in sorted(directory.glob("shard-*.npz"))]


def test_a_ray_run_writes_the_shards_a_local_run_writes(ray, tmp_path, capsys):
    runs = {}
    for name, extra in (("local", []), ("ray", ["--ray", "--actors", "2", "--cpus-per-actor", "1"])):
        out = tmp_path / name
        assert cli.main(["selfplay", *TINY, *extra, "--games", "6", "--games-per-shard", "4", "--out", str(out)]) == 0
        runs[name] = shards_of(out)
    printed = capsys.readouterr().out
    assert "Ray: 2 actor(s)" in printed and "per actor:" in printed
    local, remote = runs["local"], runs["ray"]
    assert [s.num_games for s in remote] == [s.num_games for s in local] == [4, 2]
    for one, other in zip(local, remote):
        assert one.moves.dtype == other.moves.dtype and one.policy_fractions.dtype == other.policy_fractions.dtype
        assert one.metadata["engine_config"] == other.metadata["engine_config"]


def test_an_actor_killed_mid_run_is_replaced_and_every_game_counted_once(ray, player):
    pids = ray.get([actor.pid.remote() for actor in player.actors])
    games = player.play_training_games(EngineConfig(dim=6, sims_per_move=4), 24)
    records = [next(games)]
    os.kill(pids[1], signal.SIGKILL)
    records += list(games)
    assert player.restarts >= 1
    assert sorted(r.index for r in records) == list(range(24))


def test_new_weights_reach_the_running_actors(ray, player):
    import torch

    torch.manual_seed(1)
    fresh = new_model(channels=4, blocks=1)
    expected = float(sum(w.double().sum() for w in fresh.state_dict().values()))
    pids = ray.get([actor.pid.remote() for actor in player.actors])
    player.update_networks({"model": fresh})
    assert player.fingerprints("model") == [pytest.approx(expected)] * 2
    assert ray.get([actor.pid.remote() for actor in player.actors]) == pids, "the actors were restarted"
    assert len(player.play_against_random(EngineConfig(dim=5, sims_per_move=1), 4)) == 4


def test_without_ray_the_option_says_how_to_install_it(monkeypatch):
    monkeypatch.setattr(distributed, "ray_available", lambda: False)
    with pytest.raises(ValueError, match=r"pip install 'tavlox\[ray\]'"):
        PoolSettings(ray="auto").resolved()
