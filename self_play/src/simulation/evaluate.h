#pragma once

#include <optional>
#include <vector>

#include "evaluator.h"
#include "random.h"
#include "search_node.h"

namespace tavlox::self_play {

using ValueVector = std::vector<float>;

// Buffers that evaluations reuse, so that a search allocates only the children it creates.
// Each search owns its own: a network call may run Python that plays another game on the
// same thread, and that game must not write over the answer this one is reading.
struct EvaluationScratch {
  NetworkOutput output;
  std::vector<uint32_t> legal;
  std::vector<float> gathered;
  std::vector<float> policy;
};

// Evaluates `game` for `node`. At a terminal position writes the payoff and leaves the node
// alone; otherwise asks `evaluator`, sets node.player, creates one child per action with a
// normalised probability above 0 (in a random order drawn from `rng`) and writes the
// network's values rotated to absolute player order. On an evaluation error the node is
// unchanged.
std::optional<EvaluationError> evaluate(Evaluator& evaluator, SearchNode& node, const Game& game,
                                        Rng& rng, ValueVector& values, EvaluationScratch& scratch);
// The same with buffers of its own, for a single evaluation.
std::optional<EvaluationError> evaluate(Evaluator& evaluator, SearchNode& node, const Game& game,
                                        Rng& rng, ValueVector& values);

}  // namespace tavlox::self_play
