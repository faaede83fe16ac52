#pragma once

#include <vector>

#include "evaluate.h"
#include "game.h"
#include "random.h"
#include "reference_player.h"

namespace tavlox::self_play {

// Plays `game` (not over) to its end with a reference player of `kind` in every seat, kept in
// `players` between calls, and mixes the payoff into `values` (absolute player order):
// values = (1 - weight) * values + weight * payoff. A rejected tile ends the play-out early,
// leaving `values` as they were.
void mix_rollout(float weight, ReferenceKind kind, Game& game, Rng& rng,
                 std::vector<ReferencePlayer>& players, ValueVector& values);

}  // namespace tavlox::self_play
