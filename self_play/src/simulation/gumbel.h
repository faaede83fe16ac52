#pragma once

#include <cstddef>
#include <cstdint>

#include "config.h"
#include "evaluator.h"
#include "mcts.h"
#include "random.h"
#include "result.h"
#include "search_settings.h"

namespace tavlox::self_play {

// What a Gumbel root search decided: the action to play and the policy target, a
// distribution over every child of the root in child order (empty for a root without
// children).
struct RootChoice {
  uint32_t action = 0;
  RootPolicy policy;
};

// Searches the position of `game` (not terminal, only read) from `root` with a Gumbel root:
// m = min(gumbel_actions, children) actions with the highest Gumbel draw plus log prior
// (no draws without `gumbel_noise`) are halved over ceil(log2 m) phases, each phase
// simulating every remaining action max(1, simulations / (phases * remaining)) times
// through it (round-robin, so that the budget of `simulations` is never exceeded), keeping the
// better half by draw + log prior + sigma(q). The root gets no
// Dirichlet noise; below it, selection is PUCT (with first-play urgency if set).
Status run_gumbel(Evaluator& evaluator, const Config& config, const SearchSettings& settings,
                  std::size_t simulations, bool gumbel_noise, SearchNode& root, const Game& game,
                  Rng& rng, RootChoice& choice);
// The same with the caller's buffers, which keep the search's mean leaf values.
Status run_gumbel(Evaluator& evaluator, const Config& config, const SearchSettings& settings,
                  std::size_t simulations, bool gumbel_noise, SearchNode& root, const Game& game,
                  Rng& rng, RootChoice& choice, SearchScratch& scratch);

}  // namespace tavlox::self_play
