"""Runs an installed engine module and the rules from outside the source tree: one training
game and one match against random players, with uniform network answers, then one game of
random tiles through the rules. Exits non-zero on any failure."""

import random

import tavlox_self_play
from tavlox_zero import _rules
from tavlox_zero.engine.engine_config import EngineConfig

DIM = 7


class Recorder:
    def __init__(self):
        self.items = []

    def put(self, item):
        self.items.append(item)


class UniformNetwork:
    def recv(self):
        return [0.0] * (DIM * DIM), [0.0] * 4


# The engine's own defaults, read from its settings table, for everything but the size of the work.
config = EngineConfig(dim=DIM, sims_per_move=4, sample_moves=4)
results, requests = Recorder(), Recorder()
assert tavlox_self_play.play_training_game(0, config, results, requests, UniformNetwork()) == 0
assert tavlox_self_play.play_test_against_random(1, config, results, requests, UniformNetwork()) == 0
(_, (moves, policies, payoffs)), (_, payoff) = results.items
assert moves and len(policies) == len(moves) and len(payoffs) == 4 and 0.0 <= payoff <= 1.0

game = _rules.Game(DIM)
while not game.is_terminal():
    game.apply(random.choice(game.legal_tiles()))
print(f"engine module and rules run from the wheel: {len(moves)} training moves, "
      f"match payoff {payoff}, random game scores {game.scores()}")
