"""Training steps, checkpoints and exact resumption."""

import math
from dataclasses import replace

import pytest

torch = pytest.importorskip("torch")

from tavlox_zero.nets import network  # noqa: E402
from tavlox_zero.training.trainer import ShuffledBatches, TrainConfig, Trainer, collate, warmup_cosine  # noqa: E402

DIM = 5


class RandomPositions:
    """A fixed set of random positions with valid policy and value targets."""

    def __init__(self, count: int, seed: int = 0) -> None:
        generator = torch.Generator().manual_seed(seed)
        self.planes = (torch.rand(count, 5, DIM, DIM, generator=generator) < 0.3).float()
        self.policy = torch.softmax(3 * torch.randn(count, DIM * DIM, generator=generator), dim=1)
        self.value = torch.softmax(3 * torch.randn(count, 4, generator=generator), dim=1)

    def __len__(self) -> int:
        return len(self.planes)

    def __getitem__(self, i: int):
        return self.planes[i], self.policy[i], self.value[i]


CONFIG = TrainConfig(batch_size=8, learning_rate=3e-3, warmup_steps=2, schedule_steps=12, seed=3, eval_every=2,
                     patience=0)


def new_trainer(config: TrainConfig = CONFIG) -> Trainer:
    return Trainer(network.new_model(0, channels=8, blocks=1), config)


def assert_same_parameters(a: torch.nn.Module, b: torch.nn.Module, context: str) -> None:
    state_a, state_b = a.state_dict(), b.state_dict()
    assert state_a.keys() == state_b.keys(), f"{context}: different parameter names"
    for name in state_a:
        assert torch.equal(state_a[name], state_b[name]), f"{context}: parameter {name} differs"


def test_schedule_warms_up_then_decays_to_the_floor():
    factor = warmup_cosine(TrainConfig(warmup_steps=4, schedule_steps=20, min_lr_fraction=0.1))
    assert [factor(s) for s in range(4)] == [0.25, 0.5, 0.75, 1.0]
    decay = [factor(s) for s in range(4, 21)]
    assert all(x > y for x, y in zip(decay, decay[1:])), f"cosine part not decreasing: {decay}"
    assert math.isclose(factor(20), 0.1) and math.isclose(factor(1000), 0.1), "rate should rest at the floor"


def test_batches_cover_each_epoch_once_and_depend_only_on_seed():
    batches = ShuffledBatches(num_items=10, batch_size=3, seed=5)
    assert batches.per_epoch == 3
    for epoch in range(3):
        drawn = torch.cat([batches.batch(epoch * 3 + i) for i in range(3)]).tolist()
        assert len(set(drawn)) == 9, f"epoch {epoch} repeats an index: {drawn}"
    again = ShuffledBatches(num_items=10, batch_size=3, seed=5)
    assert torch.equal(again.batch(4), batches.batch(4)), "same seed and batch number must give the same batch"
    small = ShuffledBatches(num_items=2, batch_size=8, seed=0)
    assert sorted(small.batch(0).tolist()) == [0, 1], "data smaller than a batch is used whole"


def test_training_lowers_the_loss_on_fixed_data():
    data = RandomPositions(16)
    batch = collate([data[i] for i in range(len(data))])
    torch.manual_seed(0)
    config = TrainConfig(batch_size=16, learning_rate=1e-2, warmup_steps=0, schedule_steps=40)
    trainer = Trainer(network.new_model(channels=8, blocks=1), config)
    losses = [trainer.train_step(*batch)["loss"] for _ in range(40)]
    assert losses[-1] < losses[0] - 0.2, f"40 steps on one batch: loss {losses[0]:.3f} -> {losses[-1]:.3f}"


def test_checkpoint_round_trip_restores_every_part(tmp_path):
    data = RandomPositions(20)
    trainer = new_trainer()
    trainer.train(data, "data", until_step=5)
    path = tmp_path / "trainer.pt"
    trainer.save(path, engine_config={"dim": DIM}, extra={"note": "kept"})

    restored, checkpoint = Trainer.from_checkpoint(path)
    assert restored.step == 5 and checkpoint["step"] == 5
    assert checkpoint["engine_config"] == {"dim": DIM}
    assert checkpoint["extra"]["note"] == "kept"
    assert restored.config == CONFIG, "the training configuration did not come back"
    assert restored.position == trainer.position, "the data position did not come back"
    assert restored.learning_rate == pytest.approx(trainer.learning_rate)
    assert restored.scheduler.last_epoch == trainer.scheduler.last_epoch
    assert_same_parameters(trainer.model, restored.model, "after loading")
    saved_moments = trainer.optimizer.state_dict()["state"]
    loaded_moments = restored.optimizer.state_dict()["state"]
    assert saved_moments.keys() == loaded_moments.keys()
    for key in saved_moments:
        assert torch.equal(saved_moments[key]["exp_avg"], loaded_moments[key]["exp_avg"]), f"Adam moment {key}"


@pytest.mark.parametrize("holdout", [None, RandomPositions(12, seed=5)], ids=["all data", "held-out games"])
def test_resumed_training_matches_uninterrupted_training(tmp_path, holdout):
    data = RandomPositions(20)
    straight = new_trainer()
    straight_losses = straight.train(data, "data", until_step=9, holdout=holdout)

    interrupted = new_trainer()
    interrupted.train(
        data, "data", until_step=9, holdout=holdout,
        checkpoint=lambda t: t.save(tmp_path / f"step{t.step}.pt"), checkpoint_every=4,
    )
    assert sorted(p.name for p in tmp_path.iterdir()) == ["step4.pt", "step8.pt"]
    # As if the run had died after its first checkpoint: reload it and go on.
    resumed, _ = Trainer.from_checkpoint(tmp_path / "step4.pt")
    assert resumed.step == 4
    resumed_losses = resumed.train(data, "data", until_step=9, holdout=holdout)
    assert_same_parameters(straight.model, resumed.model, "resumed run")
    assert_same_parameters(straight.model, interrupted.model, "run that wrote checkpoints")
    assert resumed_losses == pytest.approx(straight_losses), "loss sums over the data set should carry over"
    assert resumed.position.evaluations == straight.position.evaluations
    assert [e["step"] for e in straight.position.evaluations] == ([0, 2, 4, 6, 8, 9] if holdout else [])


def test_early_stopping_ends_with_the_best_held_out_weights():
    # Random targets: the held-out loss soon rises while the network memorises its 16 positions.
    config = replace(CONFIG, learning_rate=1e-2, warmup_steps=0, schedule_steps=300, eval_every=3, patience=3)
    data, holdout = RandomPositions(16), RandomPositions(16, seed=9)
    trainer = new_trainer(config)
    trainer.train(data, "data", until_step=300, holdout=holdout)
    position, losses = trainer.position, [e["loss"] for e in trainer.position.evaluations]
    assert position.stopped and trainer.step < 300, f"no early stop: held-out losses {losses}"
    assert position.best == losses.index(min(losses)) == len(losses) - 1 - config.patience
    assert trainer.evaluate(holdout)["loss"] == pytest.approx(min(losses)), "the model is not the best one"
    assert all(e["constant_value_loss"] > 0 for e in position.evaluations)
    # The very weights of the best step: a run that trains only that far ends with them.
    shorter = new_trainer(config)
    shorter.train(data, "data", until_step=position.evaluations[position.best]["step"])
    assert_same_parameters(trainer.model, shorter.model, "early-stopped run against the run to its best step")


def test_without_early_stopping_training_ends_with_its_last_weights():
    # The held-out loss rises as the network memorises; it is measured, yet no step is undone.
    config = replace(CONFIG, learning_rate=1e-2, warmup_steps=0, schedule_steps=60, eval_every=3, patience=0)
    data, holdout = RandomPositions(16), RandomPositions(16, seed=9)
    measured, unmeasured = new_trainer(config), new_trainer(config)
    measured.train(data, "data", until_step=60, holdout=holdout)
    unmeasured.train(data, "data", until_step=60)
    losses = [e["loss"] for e in measured.position.evaluations]
    assert losses.index(min(losses)) < len(losses) - 1, f"the last evaluation was the best: {losses}"
    assert not measured.position.stopped
    assert_same_parameters(measured.model, unmeasured.model, "measured run against the unmeasured one")


def test_new_data_restarts_the_position_and_loss_sums():
    trainer = new_trainer()
    trainer.train(RandomPositions(20), "first", until_step=3)
    assert trainer.position.batches == 3
    trainer.train(RandomPositions(20, seed=1), "second", until_step=5)
    assert trainer.position.key == "second" and trainer.position.batches == 2
