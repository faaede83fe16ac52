"""TensorBoard scalars of the train command, and a run without tensorboard installed: one
warning, nothing written, no failure. (The loop's scalars are checked in test_loop_iteration.)"""

import importlib.util

import pytest

pytest.importorskip("torch")
pytest.importorskip("numpy")

from tavlox_zero import cli  # noqa: E402
from tavlox_zero.training import scalars  # noqa: E402
from tavlox_zero.data.dataset import write_shard  # noqa: E402
from test_command_errors import random_game  # noqa: E402

TRAIN_TAGS = {"train/loss", "train/policy_loss", "train/value_loss", "train/learning_rate",
              "held_out/loss", "held_out/policy_loss", "held_out/value_loss", "held_out/constant_value_loss"}


@pytest.mark.parametrize("installed", [True, False], ids=["tensorboard", "without tensorboard"])
def test_train_writes_its_losses_as_scalars_or_warns_once(tmp_path, monkeypatch, capsys, installed):
    if installed and importlib.util.find_spec("tensorboard") is None:
        pytest.skip("tensorboard is not installed")
    if not installed:
        monkeypatch.setattr(scalars, "tensorboard_available", lambda: False)
        monkeypatch.setattr(scalars, "_warned", False)
    shard = tmp_path / "data" / "shard-00000.npz"
    write_shard(shard, [random_game(5, s) for s in range(8)], 5, {"engine_config": {"dim": 5}})
    for run in (1, 2):
        line = (f"train {shard.parent} -o {tmp_path}/net.pt --steps {2 * run} --batch-size 8 --channels 4 "
                f"--blocks 0 --holdout-fraction 0.3 --eval-every 1 --device cpu"
                + (f" --resume {tmp_path}/net.pt" if run == 2 else ""))
        assert cli.main(line.split()) == 0, capsys.readouterr()
    err = capsys.readouterr().err
    directory = tmp_path / "net-tensorboard"
    if installed:
        from tensorboard.backend.event_processing.event_accumulator import EventAccumulator

        events = EventAccumulator(str(directory))
        events.Reload()
        assert TRAIN_TAGS <= set(events.Tags()["scalars"]), f"scalars: {events.Tags()['scalars']}"
        assert [e.step for e in events.Scalars("train/loss")] == [1, 2, 3, 4], "a resume goes on at its step"
        assert "warning" not in err
    else:
        assert err.count(scalars.TENSORBOARD_MISSING) == 1, f"expected one warning, got: {err}"
        assert not directory.exists(), "nothing is written without tensorboard"
