"""Training targets and losses: what the network is pulled towards."""

import random
from dataclasses import replace

import pytest

torch = pytest.importorskip("torch")
np = pytest.importorskip("numpy")

from tavlox_zero.engine import BatchedEngine, rules  # noqa: E402
from tavlox_zero.engine.engine_config import EngineConfig  # noqa: E402
from tavlox_zero.engine.search_settings import SearchSettings  # noqa: E402
from tavlox_zero.data.dataset import TrainingDataset, write_shard  # noqa: E402
from tavlox_zero.nets.network import new_model  # noqa: E402
from tavlox_zero.training.trainer import TrainConfig, Trainer, gather, policy_loss, split_positions, value_loss  # noqa: E402

DIM = 5


def random_record(rng: random.Random, dim: int, game_id: int):
    """A finished random game as the engine reports it, with made-up visit fractions.

    Each position's policy lists every legal tile; the tile actually played gets
    the largest share, so the fractions differ from tile to tile.
    """
    game = rules.Game(dim)
    policies = []
    while not game.is_terminal():
        legal = game.legal_tiles()
        tile = rng.choice(legal)
        weights = {t: (3.0 if t == tile else 1.0) for t in legal}
        total = sum(weights.values())
        entries = [(t, w / total) for t, w in weights.items()]
        rng.shuffle(entries)
        policies.append(entries)
        game.apply(tile)
    return game_id, (game.history, policies, game.payoff(), game.scores())


@pytest.fixture(scope="module")
def shard(tmp_path_factory):
    rng = random.Random(7)
    games = [random_record(rng, DIM, i) for i in range(3)]
    records = [(game_id, (moves, policies, payoffs)) for game_id, (moves, policies, payoffs, _) in games]
    path = tmp_path_factory.mktemp("shards") / "targets.npz"
    write_shard(path, records, DIM, {"purpose": "test"})
    return path, records, [scores for _, (*_, scores) in games]


def test_value_target_is_the_payoff_seen_by_the_player_to_move(shard):
    path, records, _ = shard
    dataset = TrainingDataset([str(path)])
    index = 0
    movers_seen = set()
    for _, (moves, _, payoffs) in records:
        for player, _ in moves:
            _, _, value = dataset[index]
            expected = [payoffs[(player + k) % 4] for k in range(4)]
            assert np.allclose(np.asarray(value), expected), (
                f"position {index}: mover {player}, payoffs {payoffs}, value target {list(value)}"
            )
            movers_seen.add(player)
            index += 1
    assert movers_seen == {0, 1, 2, 3}, f"the test games should let every player move, saw {movers_seen}"
    assert index == len(dataset), f"dataset has {len(dataset)} positions, the records {index}"


def test_policy_target_is_dense_over_all_tiles_and_zero_off_the_listed_ones(shard):
    path, records, _ = shard
    dataset = TrainingDataset([str(path)])
    index = 0
    for _, (_, policies, _) in records:
        for entries in policies:
            _, policy, _ = dataset[index]
            policy = np.asarray(policy)
            assert policy.shape == (DIM * DIM,), f"policy target shape {policy.shape}"
            expected = np.zeros(DIM * DIM)
            for tile, fraction in entries:
                expected[tile] = fraction
            assert np.allclose(policy, expected, atol=1e-6), f"position {index}: dense target differs from fractions"
            index += 1


def test_planes_are_the_encoded_positions(shard):
    path, records, _ = shard
    dataset = TrainingDataset([str(path)])
    _, (moves, _, _) = records[0]
    states = rules.encode_record(DIM, moves)
    for i in (0, len(moves) // 2, len(moves) - 1):
        planes, _, _ = dataset[i]
        assert np.array_equal(np.asarray(planes), states[i].astype(np.float32)), f"planes of position {i}"


def test_loss_gradients_pull_the_softmax_towards_the_targets():
    torch.manual_seed(0)
    batch = 3
    for loss_fn, width in ((policy_loss, DIM * DIM), (value_loss, 4)):
        logits = torch.randn(batch, width, requires_grad=True)
        target = torch.rand(batch, width)
        target[:, ::2] = 0.0
        target /= target.sum(dim=1, keepdim=True)
        loss_fn(logits, target).backward()
        expected = (torch.softmax(logits.detach(), dim=1) - target) / batch
        assert torch.allclose(logits.grad, expected, atol=1e-6), f"{loss_fn.__name__}: gradient is not softmax - target"


def test_losses_are_the_cross_entropy_and_bottom_out_at_the_target_entropy():
    target = torch.tensor([[0.0, 0.5, 0.25, 0.25]])
    entropy = -(target[target > 0] * target[target > 0].log()).sum()
    at_target = value_loss(target.clamp_min(1e-30).log(), target)
    assert torch.isclose(at_target, entropy, atol=1e-5), f"loss at the target {at_target} != entropy {entropy}"
    uniform = policy_loss(torch.zeros(1, 4), target)
    assert torch.isclose(uniform, torch.log(torch.tensor(4.0))), f"uniform logits give {uniform}, not log 4"
    assert uniform > at_target


def test_value_and_score_targets_of_the_recorded_positions_and_the_score_head_learns(shard, tmp_path):
    """Positions searched with the fast budget carry no policy and are no items; every item's
    value and score targets are those of its own position. The score target is the rules
    engine's final score plus the 89 cells a player holds at the start (the cells it placed),
    as a share of a quarter of the board."""
    _, records, final_scores = shard
    unrecorded = [(game_id, (moves, [p if i % 3 else [] for i, p in enumerate(policies)], payoffs))
                  for game_id, (moves, policies, payoffs) in records]
    dataset = TrainingDataset([str(write_shard(tmp_path / "fast.npz", unrecorded, DIM))])
    index = 0
    for (_, (moves, _, payoffs)), scores in zip(records, final_scores):
        placed = [89 + score for score in scores]
        for player, _ in [move for i, move in enumerate(moves) if i % 3]:
            _, _, value = dataset[index]
            target = dataset.scores([index])[0].tolist()
            assert np.allclose(target, [placed[(player + k) % 4] * 4 / (DIM * DIM) for k in range(4)]), index
            assert np.allclose(value, [payoffs[(player + k) % 4] for k in range(4)]), index
            index += 1
    assert index == len(dataset)
    training, held = split_positions(dataset, 0.5)
    assert sorted(np.concatenate((training, held)).tolist()) == list(range(len(dataset)))
    trainer = Trainer(new_model(0, channels=8, blocks=1), TrainConfig(batch_size=32, warmup_steps=0))
    batch = gather(dataset, torch.arange(len(dataset)))
    first = trainer.train_step(*batch)["score_loss"]
    for _ in range(30):
        last = trainer.train_step(*batch)["score_loss"]
    assert 0 < last < first / 2, f"the score head did not learn its targets: loss {first} -> {last}"


@pytest.mark.parametrize("lam", [0.0, 0.6, 1.0])
def test_td_lambda_value_targets_mix_the_payoff_with_the_later_positions_estimates(shard, lam):
    path, records, _ = shard
    dataset = TrainingDataset([str(path)])
    calls = []

    def estimate(planes):
        # Distinct per position: a softmax of the four occupancy counts, mover's view.
        calls.append(len(planes))
        counts = planes[:, :4].sum(axis=(2, 3)) / 4.0
        return np.exp(counts) / np.exp(counts).sum(axis=1, keepdims=True)

    cache = {}
    targets = dataset.bootstrapped_values(estimate, lam, cache)
    index = 0
    for _, (moves, _, payoffs) in records:
        planes = rules.encode_record(DIM, np.asarray(moves)).astype(np.float32)
        absolute = np.zeros((len(moves), 4))
        for t, (player, _) in enumerate(moves):
            absolute[t, [(player + k) % 4 for k in range(4)]] = estimate(planes[t:t + 1])[0]
        last = len(moves) - 1
        for t, (player, _) in enumerate(moves):
            expected = lam ** (last - t) * np.asarray(payoffs, dtype=float)
            for n in range(1, last - t + 1):
                expected += (1 - lam) * lam ** (n - 1) * absolute[t + n]
            mover_view = [expected[(player + k) % 4] for k in range(4)]
            assert np.allclose(targets[index], mover_view, atol=1e-5), f"position {index}, λ {lam}"
            index += 1
    assert index == len(dataset)
    calls.clear()
    assert np.array_equal(dataset.bootstrapped_values(estimate, lam, cache), targets)
    assert calls == [], "a cached shard is not estimated again"


@pytest.mark.parametrize("temperature", [0.01, 1.5])
def test_score_share_value_targets_are_a_softmax_of_the_final_cells_and_the_payoff_when_cold(shard, temperature):
    path, records, _ = shard
    targets = TrainingDataset([str(path)]).score_share_values(temperature)
    index = 0
    for _, (moves, _, payoffs) in records:
        cells = np.bincount([player for player, _ in moves], minlength=4).astype(float)
        shares = np.exp((cells - cells.max()) / temperature)
        shares /= shares.sum()
        if temperature < 0.1:
            assert np.allclose(shares, payoffs, atol=1e-6), "a cold softmax of the cells is the payoff"
        for player, _ in moves:
            assert np.allclose(targets[index], [shares[(player + k) % 4] for k in range(4)], atol=1e-6)
            index += 1
    assert index == len(targets)


def test_search_value_targets_mix_the_payoff_with_each_recorded_search(tmp_path):
    def uniform(planes):
        rows, dim = planes.shape[0], planes.shape[2]
        return np.zeros((rows, dim * dim), np.float32), np.zeros((rows, 4), np.float32)

    settings = SearchSettings(rollout_weight=0.5, rollout_player="heuristic")
    with BatchedEngine("training", EngineConfig(dim=7, sims_per_move=4), 3, [uniform], seed=3,
                       search=settings) as engine:
        records = list(engine.run())
    searched = records[0].search_values.copy()
    searched[1] = np.nan  # a search that simulated nothing: its position keeps the payoff
    records[0] = replace(records[0], search_values=searched)
    path = write_shard(tmp_path / "searched.npz", records, 7)
    for weight in (0.3, 1.0):
        targets, index = TrainingDataset([str(path)]).search_mixed_values(weight), 0
        for record in records:
            assert record.search_values.shape == (len(record), 4)
            for (player, _), search in zip(record.moves.tolist(), record.search_values):
                absolute = np.asarray(record.payoffs, dtype=float)
                if not np.isnan(search).any():
                    assert search.sum() == pytest.approx(1, abs=1e-5) and search.min() >= 0
                    absolute = (1 - weight) * absolute + weight * search
                mover_view = [absolute[(player + k) % 4] for k in range(4)]
                assert np.allclose(targets[index], mover_view, atol=1e-6), f"position {index}, weight {weight}"
                index += 1
        assert index == len(targets)
    plain = write_shard(tmp_path / "plain.npz", [r.as_lists() for r in records], 7)
    with pytest.raises(ValueError, match="plain.npz: recorded without search values"):
        TrainingDataset([str(path), str(plain)]).search_mixed_values(0.5)
