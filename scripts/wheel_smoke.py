"""Runs an installed engine module and the rules from outside the source tree: one training
game and one match against random players, with uniform network answers, then one game of
random tiles through the rules. Exits non-zero on any failure."""

import random
from types import SimpleNamespace

import tavlox_self_play
from tavlox_zero import _rules

DIM = 7


class Recorder:
    def __init__(self):
        self.items = []

    def put(self, item):
        self.items.append(item)


class UniformNetwork:
    def recv(self):
        return [0.0] * (DIM * DIM), [0.0] * 4


config = SimpleNamespace(dim=DIM, rep=1, sims_per_move=4, sample_moves=4, c_base=19652.0, c_init=1.25,
                         dirichlet_alpha=0.3, exploration_fraction=0.25)
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
