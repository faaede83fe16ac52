"""The `tavlox-zero selfplay` command end to end, and Ctrl-C on a running command."""

import os
import re
import signal
import subprocess
import sys
import time

import pytest

torch = pytest.importorskip("torch")
np = pytest.importorskip("numpy")
pytest.importorskip("tavlox_self_play")

from tavlox_zero import cli  # noqa: E402
from tavlox_zero.nets import network  # noqa: E402
from tavlox_zero.data.dataset import TrainingDataset, read_shard  # noqa: E402

TINY = ["--dim", "5", "--sims", "3", "--sample-moves", "3", "--channels", "4", "--blocks", "1",
        "--device", "cpu", "--no-progress"]


def children_of(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.mark.parametrize("engine, players", [
    ("processes", "2 workers, network on cpu"),
    ("batched", "batched engine: 2 games in flight, 1 search thread(s), network on cpu"),
])
def test_selfplay_writes_a_dataset_that_round_trips(tmp_path, capsys, engine, players):
    out = tmp_path / "run"
    code = cli.main(["selfplay", *TINY, "--games", "3", "--workers", "2", "--games-in-flight", "2",
                     "--search-threads", "1", "--engine", engine, "--games-per-shard", "2", "--out", str(out)])
    printed = capsys.readouterr().out
    assert code == 0, printed
    assert "self-play finished: 3 games" in printed and "positions/s" in printed and "per evaluation" in printed
    assert players in printed
    shards = sorted(out.glob("shard-*.npz"))
    assert [s.name for s in shards] == ["shard-00000.npz", "shard-00001.npz"]
    loaded = [read_shard(s) for s in shards]
    assert [s.num_games for s in loaded] == [2, 1]
    metadata = loaded[0].metadata
    assert metadata["engine_config"]["dim"] == 5 and metadata["engine_config"]["sims_per_move"] == 3
    model, checkpoint = network.load_checkpoint(metadata["checkpoint"]["path"])
    assert checkpoint["model_config"] == metadata["checkpoint"]["model_config"] == network.model_config(model)
    positions = sum(s.num_positions for s in loaded)
    assert f"3 games, {positions} positions" in printed
    dataset = TrainingDataset(shards)
    assert len(dataset) == positions
    planes, policy, value = dataset[positions - 1]
    assert planes.shape == (5, 5, 5) and policy.shape == (25,) and value.shape == (4,)
    assert policy.sum().item() == pytest.approx(1.0) and value.sum().item() == pytest.approx(1.0)


@pytest.mark.parametrize("engine", ["processes", "batched"])
def test_ctrl_c_stops_every_process_and_keeps_the_finished_games(tmp_path, engine):
    out = tmp_path / "run"
    command = [sys.executable, "-m", "tavlox_zero", "selfplay", *TINY, "--dim", "6", "--games", "20000",
               "--workers", "2", "--engine", engine, "--games-per-shard", "1", "--out", str(out)]
    # A session of its own, so that the signal reaches the whole group as a terminal's Ctrl-C does.
    # Ctrl-C's default action restored in the child, which would inherit an ignored SIGINT from
    # a suite started in the background (nohup ... &).
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        while len(list(out.glob("shard-*.npz"))) < 2 and process.poll() is None:
            time.sleep(0.1)
        children = children_of(process.pid)
        os.killpg(process.pid, signal.SIGINT)
        stdout, stderr = process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    output = f"exit code {process.returncode}\nstdout:\n{stdout}\nstderr (end):\n{stderr[-3000:]}"
    assert process.returncode == 130, output
    if engine == "processes":
        assert len(children) >= 2, f"the workers were not running when the signal came\n{output}"
    # Orphans would live on; a child that is merely finishing its exit gets a moment.
    give_up = time.monotonic() + 10
    while any(running(pid) for pid in children) and time.monotonic() < give_up:
        time.sleep(0.1)
    assert not [pid for pid in children if running(pid)], f"a child process outlived the interrupted run\n{output}"
    summary = re.search(r"self-play interrupted: (\d+) games", stdout)
    assert summary, f"no summary of the interrupted run\n{output}"
    shards = sorted(out.glob("shard-*.npz"))
    written = sum(read_shard(s).num_games for s in shards)
    assert written == int(summary.group(1)) >= 2, f"{written} games written\n{output}"
    assert "Traceback" not in stderr, output
