#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "evaluator.h"
#include "random.h"
#include "result.h"
#include "search_node.h"

namespace tavlox::self_play {

using RootPolicy = std::vector<std::pair<int32_t, float>>;
using VisitDist = std::vector<std::pair<uint32_t, uint32_t>>;

// Runs one search from the position of `game` (not terminal, only read) with `root` as the
// current root. Returns an error text when the search ended on an error.
Status run_mcts(Evaluator& evaluator, const Config& config, SearchNode& root, const Game& game,
                Rng& rng);

RootPolicy root_policy(const SearchNode& root);
VisitDist visit_dist(const SearchNode& root);
// The child of `root` for `action`, which becomes the next root.
SearchNode& advance_root(SearchNode& root, uint32_t action);

}  // namespace tavlox::self_play
