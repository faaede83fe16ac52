#pragma once

#include <optional>
#include <vector>

#include "evaluator.h"
#include "random.h"
#include "search_node.h"

namespace tavlox::self_play {

using ValueVector = std::vector<float>;

// Evaluates `game` for `node`. At a terminal position writes the payoff and leaves the node
// alone; otherwise asks `evaluator`, sets node.player, creates one child per action with a
// normalised probability above 0 (in a random order drawn from `rng`) and writes the
// network's values rotated to absolute player order. On an evaluation error the node is
// unchanged.
std::optional<EvaluationError> evaluate(Evaluator& evaluator, SearchNode& node, const Game& game,
                                        Rng& rng, ValueVector& values);

}  // namespace tavlox::self_play
