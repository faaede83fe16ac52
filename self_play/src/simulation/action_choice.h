#pragma once

#include <cstdint>

#include "mcts.h"
#include "random.h"

namespace tavlox::self_play {

// An action drawn in proportion to its share of the visits: the first pair whose running
// share (single precision) exceeds a uniform draw, else the last pair. `dist` is not empty.
uint32_t sampled_action(const VisitDist& dist, Rng& rng);
// The most visited action; among equal counts the later pair wins. `dist` is not empty.
uint32_t greedy_action(const VisitDist& dist);

}  // namespace tavlox::self_play
