"""Ordinary mistakes on every command: one line `tavlox-zero COMMAND: ...`, exit 2 for a wrong
command line and 1 for a bad file, and nothing written or lost; board sides that travel with
the networks; train stopped by a signal; loop resumed with other settings."""

import json
import os
import random
import re
import signal
import subprocess
import sys

import pytest

torch = pytest.importorskip("torch")
np = pytest.importorskip("numpy")

from tavlox_zero import cli  # noqa: E402
from tavlox_zero.nets import network  # noqa: E402
from tavlox_zero.engine.constants import MAX_DIM, MIN_DIM  # noqa: E402
from tavlox_zero.data.dataset import write_shard  # noqa: E402
from tavlox_zero.engine.rules import Game  # noqa: E402

SMALL = ["--sims", "2", "--sample-moves", "2", "--device", "cpu", "--games-in-flight", "2", "--search-threads", "1"]
LOOP = [*SMALL, "--channels", "4", "--blocks", "0", "--games", "2", "--games-per-shard", "2", "--steps", "2",
        "--batch-size", "8", "--eval-games", "2", "--warmup-steps", "1"]


def random_game(dim, seed):
    """A legal game of random tiles, as a training record with uniform root policies."""
    rng, game, moves, policies = random.Random(seed), Game(dim), [], []
    while not game.is_terminal():
        legal = game.legal_tiles()
        tile = rng.choice(legal)
        moves.append((game.player, tile))
        policies.append([(t, 1 / len(legal)) for t in legal])
        game.apply(tile)
    return moves, policies, game.payoff()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Shards of 5 x 5 and 6 x 6 games, broken shards, and networks trained for 5 x 5 and for no size."""
    root = tmp_path_factory.mktemp("inputs")
    for dim in (5, 6):
        write_shard(root / f"data{dim}" / "shard-00000.npz", [random_game(dim, s) for s in range(4)], dim,
                    {"engine_config": {"dim": dim, "sims_per_move": 2}})
    good = (root / "data5" / "shard-00000.npz").read_bytes()
    (root / "truncated.npz").write_bytes(good[: len(good) // 2])
    with np.load(root / "data5" / "shard-00000.npz") as shard:
        np.savez(root / "no-dim.npz", **{k: shard[k] for k in shard.files if k != "dim"})
    (root / "empty").mkdir()
    (root / "garbage.pt").write_bytes(b"not a checkpoint")
    for name, engine_config in (("net5.pt", {"dim": 5}), ("plain.pt", None)):
        network.save_checkpoint(root / name, network.new_model(channels=4, blocks=0), engine_config=engine_config)
    (root / "run-bad").mkdir()
    (root / "run-bad" / "config.json").write_text("{not json")
    return root


def snapshot(root):
    return {str(p.relative_to(root)): (p.stat().st_size, p.stat().st_mtime_ns) for p in root.rglob("*")}


def run_command(root, line, capsys):
    """Runs `tavlox-zero LINE` in `root`; returns its exit code and its stderr."""
    previous = os.getcwd()
    os.chdir(root)
    try:
        code = cli.main(line.split())
    finally:
        os.chdir(previous)
    return code, capsys.readouterr().err


MISTAKES = {
    # A wrong command line: exit 2.
    "selfplay --dim 300 --out out": (2, rf"selfplay: the board side \(dim\) must lie in {MIN_DIM} to {MAX_DIM}, got 300"),
    "selfplay --games 0 --out out": (2, "selfplay: --games must be at least 1, got 0"),
    "selfplay --workers 0 --out out": (2, "selfplay: --workers must be at least 1, got 0"),
    "selfplay --device cuda:7 --out out": (2, "selfplay: device cuda:7 was asked for, but CUDA is not available"),
    "selfplay --checkpoint missing.pt --out out": (2, "selfplay: missing.pt: no such network checkpoint"),
    "selfplay --out data5/shard-00000.npz/out": (2, "selfplay: --out .*shard-00000.npz is not a directory"),
    "selfplay --checkpoint net5.pt --dim 7 --out out": (2, "selfplay: net5.pt was trained for 5x5 boards, not --dim 7"),
    "selfplay --games many": (2, r"selfplay: argument --games: invalid int value: 'many' \(see tavlox-zero selfplay --help\)"),
    "train data5 -o out.pt --steps 0": (2, "train: --steps must be at least 1, got 0"),
    "train data5 -o out.pt --steps 5 --batch-size 0": (2, "train: --batch-size must be at least 1, got 0"),
    "train data5 -o out.pt --steps 5 --lr -1": (2, "train: --lr must be a positive number, got -1.0"),
    "train data5 -o out.pt --steps 5 --device cuda": (2, "train: device cuda was asked for, but CUDA is not available"),
    "train empty -o out.pt --steps 5": (2, r"train: empty: no shards \(\*.npz\) in this directory"),
    "train missing.npz -o out.pt --steps 5": (2, "train: missing.npz: no such shard"),
    "train data5 -o out.pt --steps 5 --init missing.pt": (2, "train: missing.pt: no such checkpoint for --init"),
    "train data5 -o data5/shard-00000.npz/out.pt --steps 5": (2, "train: --output .* is not a directory"),
    "train data5 -o empty --steps 5": (2, "train: --output empty: is a directory"),
    "train data6 -o out.pt --steps 5 --resume net5.pt": (2, "train: net5.pt was trained on 5x5 boards but the shards are 6x6"),
    "train data5 data6 -o out.pt --steps 5": (1, "train: shards of different board sizes cannot be mixed"),
    "evaluate missing.pt": (2, "evaluate: missing.pt: no such network checkpoint"),
    "evaluate net5.pt --games 0": (2, "evaluate: --games must be at least 1, got 0"),
    "evaluate net5.pt --no-random": (2, "evaluate: nothing to evaluate: --no-random needs --baseline"),
    "evaluate net5.pt --no-random --fixed-players none": (2, "evaluate: nothing to evaluate: --no-random needs"),
    "evaluate net5.pt --dim 7": (2, "evaluate: net5.pt was trained for 5x5 boards, not --dim 7"),
    "evaluate net5.pt --baseline plain.pt": (2, "evaluate: the baseline match plays on 20x20, but net5.pt was trained for 5x5"),
    "evaluate plain.pt --json data5/shard-00000.npz/r.json": (2, "evaluate: --json .* is not a directory"),
    "loop run --games 0": (2, "loop: --games must be at least 1, got 0"),
    "loop run --dim 3": (2, rf"loop: the board side \(dim\) must lie in {MIN_DIM} to {MAX_DIM}, got 3"),
    "loop run --workers 0": (2, "loop: --workers must be at least 1, got 0"),
    "show missing.npz": (2, "show: missing.npz: no such shard or game record"),
    "show data5/shard-00000.npz --move 999": (2, r"show: --move must lie in 0\.\.\d+, got 999"),
    "gtp missing.pt": (2, "gtp: missing.pt: no such checkpoint"),
    "play missing.pt": (2, "play: missing.pt: no such checkpoint"),
    "play net5.pt --record-dir data5/shard-00000.npz": (2, "play: --record-dir .*shard-00000.npz is not a directory"),
    "bogus": (2, "tavlox-zero: argument COMMAND: invalid choice: 'bogus'"),
    "evaluate net5.pt --sims 3": (2, r"tavlox-zero evaluate: unrecognized arguments: --sims 3 \(see tavlox-zero evaluate --help\)"),
    # A file that is not what it should be: exit 1.
    "train truncated.npz -o out.pt --steps 5": (1, "train: truncated.npz: not a readable shard .*BadZipFile"),
    "train no-dim.npz -o out.pt --steps 5": (1, r"train: no-dim.npz: not a self-play shard \(no board side, 'dim'\)"),
    "evaluate garbage.pt": (1, "evaluate: garbage.pt: not a readable network checkpoint"),
    "train data5 -o out.pt --steps 5 --init garbage.pt": (1, "train: garbage.pt: not a readable network checkpoint"),
    "loop run-bad": (1, "loop: run-bad/config.json: not a readable run configuration"),
    "show truncated.npz": (1, "show: truncated.npz: not a readable shard"),
    "gtp garbage.pt": (1, "gtp: garbage.pt: not a readable network checkpoint"),
}


@pytest.mark.parametrize("line", MISTAKES)
def test_a_mistake_is_one_line_and_an_exit_status_and_writes_nothing(files, capsys, line):
    expected_code, pattern = MISTAKES[line]
    before = snapshot(files)
    code, err = run_command(files, f"{line} --no-progress" if line.startswith("selfplay") else line, capsys)
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("tavlox-zero"), f"expected one line, got:\n{err}"
    assert re.search(pattern, lines[0]), f"{lines[0]!r} does not match {pattern!r}"
    assert code == expected_code, f"exit {code} for {lines[0]!r}"
    assert snapshot(files) == before, "a refused command changed the files"


def test_debug_shows_the_traceback(files, capsys):
    code, err = run_command(files, "train truncated.npz -o out.pt --steps 5 --debug", capsys)
    assert code == 1 and "Traceback (most recent call last)" in err and "BadZipFile" in err, err


def test_networks_carry_their_board_side_through_every_command(files, tmp_path, capsys):
    def main(line):
        code = cli.main(line.split())
        assert code == 0, f"{line}: exit {code}\n{capsys.readouterr()}"

    main(f"selfplay --dim 5 {' '.join(SMALL)} --channels 4 --blocks 0 --games 2 --no-progress --out {tmp_path}/play")
    fresh = next((tmp_path / "play").glob("fresh-network-*.pt"))
    assert network.checkpoint_dim(torch.load(fresh, weights_only=True)) == 5, "a fresh network must record its board"
    main(f"evaluate {fresh} --games 2 {' '.join(SMALL[4:])} --json {tmp_path}/report.json")
    assert json.loads((tmp_path / "report.json").read_text())["engine_config"]["dim"] == 5
    main(f"train {files}/data6 -o {tmp_path}/net6.pt --steps 2 --batch-size 8 --init {fresh}")
    trained = torch.load(tmp_path / "net6.pt", weights_only=True)
    assert network.checkpoint_dim(trained) == 6, "a network trained on 6 x 6 shards must claim 6, not its --init's 5"
    main(f"selfplay --checkpoint {tmp_path}/net6.pt {' '.join(SMALL)} --games 1 --no-progress --out {tmp_path}/six")
    assert json.loads(str(np.load(next((tmp_path / "six").glob("shard-*.npz")))["metadata"]))["engine_config"]["dim"] == 6


def test_loop_refuses_conflicting_settings_on_resume_and_takes_adjustable_ones(tmp_path, capsys):
    run_dir = tmp_path / "run"
    assert cli.main(["loop", str(run_dir), "--iterations", "1", "--dim", "5", *LOOP]) == 0
    saved = (run_dir / "config.json").read_text()
    before = snapshot(run_dir)
    capsys.readouterr()
    code = cli.main(["loop", str(run_dir), "--dim", "6", "--sims", "3", "--lr", "0.1", "--root", "gumbel",
                     "--device", "cpu"])
    err = capsys.readouterr().err.strip()
    assert code == 2 and err.count("\n") == 0, err
    for named in ("--dim 6 (saved: 5)", "--sims 3 (saved: 2)", "--lr 0.1 (saved: 0.002)", "--root gumbel (saved: puct)"):
        assert named in err, err
    assert snapshot(run_dir) == before
    assert cli.main(["loop", str(run_dir), "--iterations", "2", "--eval-games", "3", *SMALL[4:]]) == 0
    config = json.loads((run_dir / "config.json").read_text())
    assert config["loop"]["iterations"] == 2 and config["loop"]["eval_games"] == 3
    assert {k: v for k, v in config.items() if k != "loop"} == {k: v for k, v in json.loads(saved).items()
                                                                if k != "loop"}
    assert json.loads((run_dir / "state.json").read_text())["completed_iterations"] == 2


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_train_saves_an_exact_checkpoint_when_stopped(files, tmp_path, stop):
    output = tmp_path / "net.pt"
    command = [sys.executable, "-m", "tavlox_zero", "train", str(files / "data5"), "-o", str(output),
               "--steps", "1000000", "--batch-size", "8", "--channels", "4", "--blocks", "0", "--log-every", "1",
               "--checkpoint-every", "0", "--checkpoint-minutes", "0", "--device", "cpu"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for line in process.stdout:
            if line.startswith("step 3:"):
                break
        process.send_signal(stop)
        stdout, stderr = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == 130, f"exit {process.returncode}\n{stdout}\n{stderr}"
    step = torch.load(output, weights_only=False)["step"]
    assert f"interrupted at step {step} of 1000000: saved {output}; continue with --resume {output}" in stdout
    assert step >= 3 and not list(tmp_path.glob("*.tmp")), stdout


def rewrite(source, target, change, keep_checksum=False):
    """Writes `source` to `target` after `change(arrays, metadata)`; the checksum is made anew
    (or dropped when the change removes it) unless `keep_checksum`."""
    from tavlox_zero.data.dataset import arrays_checksum

    with np.load(source) as shard:
        arrays = {name: shard[name].copy() for name in shard.files}
    metadata = json.loads(str(arrays["metadata"]))
    change(arrays, metadata)
    if not keep_checksum and "checksum" in metadata:
        metadata["checksum"] = arrays_checksum(arrays)
    arrays["metadata"] = np.array(json.dumps(metadata))
    np.savez_compressed(target, **arrays)


def set_item(name, index, value):
    def change(arrays, metadata):
        arrays[name][index] = value
    return change


CORRUPTIONS = {
    "bit-flip": (set_item("payoffs", (0, 0), 0.5), True, "its arrays do not match the checksum in its metadata"),
    "illegal-move": (set_item("moves", (5, 1), 0), False, "game 0: position 5: tile 0 is not legal"),
    "wrong-mover": (set_item("moves", (1, 0), 3), False, "game 0: position 1: player 3 moves, but player 0 is to move"),
    "fractions": (lambda a, m: a["policy_fractions"].__imul__(np.float32(0.5)), False, "fractions sum to 0.5"),
    "offsets": (set_item("game_offsets", 1, 10_000), False, "game offsets do not cover the moves"),
    "count": (lambda a, m: m.update(games=9), False, "metadata counts 9 games, the arrays hold 4"),
    "payoffs": (set_item("payoffs", (0, slice(None)), 0.25), False, "game 0: payoffs .* differ from the rules'"),
}


def test_check_passes_good_and_older_shards_and_names_every_corruption(files, tmp_path, capsys):
    good = files / "data5" / "shard-00000.npz"
    rewrite(good, tmp_path / "older.npz", lambda arrays, metadata: metadata.pop("checksum"))
    assert cli.main(["check", str(good), str(tmp_path / "older.npz"), str(files / "data6")]) == 0
    out = capsys.readouterr().out
    assert "checksum verified" in out and "no checksum (an older shard)" in out and "3 good, 0 with problems" in out
    for name, (change, keep_checksum, _) in CORRUPTIONS.items():
        rewrite(good, tmp_path / f"{name}.npz", change, keep_checksum)
    assert cli.main(["check", str(tmp_path)]) == 1
    reports = {line.split(":")[0]: line for line in capsys.readouterr().out.splitlines()}
    for name, (_, _, problem) in CORRUPTIONS.items():
        line = reports[str(tmp_path / f"{name}.npz")]
        assert "FAILED" in line and re.search(problem, line), f"{name}: {line}"
    assert str(tmp_path / "older.npz") in reports and "FAILED" not in reports[str(tmp_path / "older.npz")]
