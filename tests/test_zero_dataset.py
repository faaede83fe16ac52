"""Shards and training tensors: round trips, plain-NumPy loading, targets, corrupt files."""

import json
import math

import pytest

np = pytest.importorskip("numpy")
torch = pytest.importorskip("torch")

from tavlox_zero.engine import rules  # noqa: E402
from tavlox_zero.data.dataset import (  # noqa: E402
    ShardWriter,
    TrainingDataset,
    iterate_batches,
    read_shard,
    write_shard,
)

DIM = 6


def random_record(seed, dim=DIM, worker_id=0):
    """A legal game played by random choices, with made-up root policies around each move."""
    rng = np.random.default_rng(seed)
    game = rules.Game(dim)
    moves, policies = [], []
    while not game.is_terminal():
        legal = sorted(game.legal_tiles())
        tile = int(rng.choice(legal))
        others = [t for t in legal if t != tile][:3]
        visits = rng.integers(1, 10, size=len(others) + 1).astype(float)
        fractions = visits / visits.sum()
        policies.append([(t, float(f)) for t, f in zip([tile] + others, fractions)])
        moves.append((game.player, tile))
        game.apply(tile)
    return worker_id, (moves, policies, [float(p) for p in game.payoff()])


@pytest.fixture(scope="module")
def records():
    return [random_record(seed, worker_id=seed % 2) for seed in range(3)]


def test_shard_round_trip_keeps_every_record(tmp_path, records):
    path = write_shard(tmp_path / "a.npz", records, DIM, {"engine_config": {"dim": DIM}, "checkpoint": "x.pt"})
    shard = read_shard(path)
    assert shard.dim == DIM and shard.num_games == 3
    assert shard.num_positions == sum(len(r[1][0]) for r in records)
    for (_, (moves, policies, payoffs)), (m, p, y) in zip(records, shard.records()):
        assert m == moves
        assert y == payoffs
        assert [[t for t, _ in pos] for pos in p] == [[t for t, _ in pos] for pos in policies]
        assert [[f for _, f in pos] for pos in p] == [[float(np.float32(f)) for _, f in pos] for pos in policies]
    assert shard.metadata["checkpoint"] == "x.pt" and shard.metadata["games"] == 3
    assert shard.metadata["positions"] == shard.num_positions


def test_a_shard_loads_with_plain_numpy_without_pickle(tmp_path, records):
    path = write_shard(tmp_path / "plain.npz", records[:1], DIM, {"engine_config": {"dim": DIM}})
    with np.load(path, allow_pickle=False) as data:
        assert int(data["dim"]) == DIM
        assert data["moves"].shape == (len(records[0][1][0]), 2)
        assert data["game_offsets"].tolist() == [0, len(records[0][1][0])]
        assert data["payoffs"].dtype == np.float32 and data["payoffs"].shape == (1, 4)
        assert data["policy_offsets"][-1] == len(data["policy_tiles"]) == len(data["policy_fractions"])
        assert json.loads(str(data["metadata"]))["engine_config"] == {"dim": DIM}


def test_training_items_are_planes_dense_policies_and_rotated_values(tmp_path, records):
    paths = [write_shard(tmp_path / f"{i}.npz", [r], DIM) for i, r in enumerate(records[:2])]
    dataset = TrainingDataset(paths)
    assert len(dataset) == sum(len(r[1][0]) for r in records[:2])
    offset = len(records[0][1][0])
    _, (moves, policies, payoffs) = records[1]
    encoded = rules.encode_record(DIM, moves)
    for i in (0, 1, len(moves) - 1):
        planes, policy, value = dataset[offset + i]
        assert planes.dtype == torch.float32 and planes.shape == (5, DIM, DIM)
        assert torch.equal(planes.bool(), torch.from_numpy(encoded[i].copy())), f"planes of position {i} differ"
        expected = torch.zeros(DIM * DIM)
        for tile, fraction in policies[i]:
            expected[tile] = fraction
        assert torch.allclose(policy, expected, atol=1e-6), f"policy target of position {i} differs"
        mover = moves[i][0]
        assert value.tolist() == [payoffs[(mover + k) % 4] for k in range(4)], "value not in the mover's view"


def test_nan_and_zero_visit_fractions_become_usable_targets(tmp_path):
    moves = [(0, 0), (0, 1)]
    policies = [[(0, math.nan), (1, math.nan), (6, math.nan)], [(1, 0.0), (2, 0.0)]]
    path = write_shard(tmp_path / "nan.npz", [(moves, policies, [1.0, 0.0, 0.0, 0.0])], DIM)
    dataset = TrainingDataset([path])
    first, second = dataset[0][1], dataset[1][1]
    assert torch.allclose(first[[0, 1, 6]], torch.full((3,), 1 / 3)) and first.sum().item() == pytest.approx(1)
    assert torch.allclose(second[[1, 2]], torch.full((2,), 0.5)) and second.sum().item() == pytest.approx(1)


def test_batches_cover_the_dataset_once_and_never_mix_board_sides(tmp_path, records):
    small = write_shard(tmp_path / "small.npz", records, DIM)
    large = write_shard(tmp_path / "large.npz", [random_record(7, dim=8)], 8)
    dataset = TrainingDataset([small, large])
    seen = 0
    for planes, policy, value in iterate_batches(dataset, 16, seed=3):
        dim = planes.shape[-1]
        assert planes.shape[1:] == (5, dim, dim) and policy.shape == (len(planes), dim * dim)
        assert torch.allclose(policy.sum(dim=1), torch.ones(len(planes)))
        assert torch.allclose(value.sum(dim=1), torch.ones(len(planes)))
        seen += len(planes)
    assert seen == len(dataset)
    unshuffled = next(iterate_batches(dataset, 4, shuffle=False))
    assert all(torch.equal(a, b) for a, b in zip(unshuffled, dataset.batch([0, 1, 2, 3])))
    with pytest.raises(ValueError, match="one board side"):
        dataset.batch([0, len(dataset) - 1])


def test_writer_makes_numbered_shards_and_writes_the_rest_on_close(tmp_path, records):
    (tmp_path / "shard-00004.npz").write_bytes(b"")
    with ShardWriter(tmp_path, DIM, {"checkpoint": "c.pt"}, games_per_shard=2) as writer:
        written = [writer.add(r) for r in records]
    assert written[:2] == [None, tmp_path / "shard-00005.npz"] and written[2] is None
    assert writer.paths == [tmp_path / "shard-00005.npz", tmp_path / "shard-00006.npz"]
    assert [read_shard(p).num_games for p in writer.paths] == [2, 1]
    assert writer.games == 3 and writer.positions == sum(len(r[1][0]) for r in records)
    assert read_shard(writer.paths[1]).metadata["checkpoint"] == "c.pt"


def test_inconsistent_records_and_corrupt_shards_are_refused(tmp_path, records):
    moves, policies, payoffs = records[0][1]
    with pytest.raises(ValueError, match="moves but"):
        write_shard(tmp_path / "x.npz", [(moves, policies[:-1], payoffs)], DIM)
    with pytest.raises(ValueError, match="outside the 4 x 4 board"):
        write_shard(tmp_path / "x.npz", [(moves, policies, payoffs)], 4)
    path = write_shard(tmp_path / "ok.npz", records[:1], DIM)
    with np.load(path) as data:
        arrays = dict(data)
    arrays["game_offsets"] = arrays["game_offsets"] + 1
    np.savez(tmp_path / "bad.npz", **arrays)
    with pytest.raises(ValueError, match="bad.npz: corrupt shard: its arrays do not match the checksum"):
        read_shard(tmp_path / "bad.npz")
    metadata = json.loads(str(arrays["metadata"]))
    del metadata["checksum"]
    arrays["metadata"] = np.array(json.dumps(metadata))
    np.savez(tmp_path / "older.npz", **arrays)
    with pytest.raises(ValueError, match="older.npz: corrupt shard: game offsets"):
        read_shard(tmp_path / "older.npz")
    arrays["game_offsets"] = arrays["game_offsets"] - 1
    for values, problem in [(np.zeros((1, 4), np.float32), "search values of shape"),
                            (np.full((len(moves), 4), np.inf, np.float32), "a search value is not a number")]:
        np.savez(tmp_path / "searched.npz", **arrays, search_values=values)
        with pytest.raises(ValueError, match=f"searched.npz: corrupt shard: {problem}"):
            read_shard(tmp_path / "searched.npz")
    del arrays["payoffs"]
    np.savez(tmp_path / "partial.npz", **arrays)
    with pytest.raises(ValueError, match="missing payoffs"):
        read_shard(tmp_path / "partial.npz")


def header_never_closed(blob):
    """The member dim.npy rewritten with a header whose tuple never closes (a tokenizer error)."""
    import io
    import zipfile

    source, target = zipfile.ZipFile(io.BytesIO(blob)), io.BytesIO()
    with zipfile.ZipFile(target, "w") as archive:
        for name in source.namelist():
            data = source.read(name)
            if name == "dim.npy":
                header = b"{'descr': '<i8', 'fortran_order': False, 'shape': (".ljust(118) + b"\n"
                data = b"\x93NUMPY\x01\x00" + len(header).to_bytes(2, "little") + header
            archive.writestr(name, data)
    return target.getvalue()


def central_flag_bit_5(blob):
    """A member marked as compressed patched data, which zipfile does not implement."""
    blob = bytearray(blob)
    blob[blob.find(b"PK\x01\x02") + 8] |= 0x20
    return bytes(blob)


# Damage that the shard fuzzer (fuzz/fuzz_shards.py) found to escape as other exceptions.
@pytest.mark.parametrize("damage", [header_never_closed, central_flag_bit_5, lambda blob: blob[: len(blob) // 3]])
def test_damaged_archives_are_refused_naming_the_file(tmp_path, records, damage):
    path = write_shard(tmp_path / "ok.npz", records[:1], DIM)
    bad = tmp_path / "damaged.npz"
    bad.write_bytes(damage(path.read_bytes()))
    with pytest.raises(ValueError, match="damaged.npz: (corrupt|not a readable) shard"):
        read_shard(bad)
