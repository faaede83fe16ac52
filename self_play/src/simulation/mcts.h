#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "evaluate.h"
#include "evaluator.h"
#include "random.h"
#include "result.h"
#include "rollout.h"
#include "search_node.h"
#include "search_settings.h"

namespace tavlox::self_play {

using RootPolicy = std::vector<std::pair<int32_t, float>>;
using VisitDist = std::vector<std::pair<uint32_t, uint32_t>>;

// How one search runs: run_mcts is config.sims_per_move simulations with root noise, no
// first-play urgency and no play-outs.
struct SearchOptions {
  std::size_t simulations = 0;
  bool root_noise = true;
  std::optional<float> fpu_reduction;
  Rollouts rollouts;
};

// The options of a search with `simulations` under `settings`.
SearchOptions search_options(const SearchSettings& settings, std::size_t simulations,
                             bool root_noise);

// Buffers of one search, reused by every simulation.
struct SearchScratch {
  std::vector<SearchNode*> path;
  ValueVector values;
  std::vector<float> noise;
  EvaluationScratch evaluation;
  RolloutScratch rollouts;
  // The leaf values of this search's simulations, summed per player (absolute order).
  std::array<double, kPlayers> leaf_value_sum{};
  uint32_t leaves = 0;

  void forget_leaf_values() {
    leaf_value_sum = {};
    leaves = 0;
  }
};

// The mean leaf value of every player over the last search run with `scratch`: what the
// search, play-outs included, expects each player to earn. NaN when it simulated nothing.
Payoff mean_leaf_values(const SearchScratch& scratch);

// Runs one search from the position of `game` (not terminal, only read) with `root` as the
// current root. Returns an error text when the search ended on an error.
Status run_mcts(Evaluator& evaluator, const Config& config, SearchNode& root, const Game& game,
                Rng& rng);
Status run_search(Evaluator& evaluator, const Config& config, const SearchOptions& options,
                  SearchNode& root, const Game& game, Rng& rng);
// The same with the caller's buffers, which keep the search's mean leaf values.
Status run_search(Evaluator& evaluator, const Config& config, const SearchOptions& options,
                  SearchNode& root, const Game& game, Rng& rng, SearchScratch& scratch);

// One simulation on `game`, a copy of the real game at the root that it leaves changed. With
// `first` (a child of `root`) the simulation goes through it; below, every step selects by the
// PUCT score. Only the options' first-play urgency and play-outs are read.
Status simulate(Evaluator& evaluator, const Config& config, const SearchOptions& options,
                SearchNode& root, SearchNode* first, Game& game, Rng& rng, SearchScratch& scratch);
// Simulations between two polls of the evaluator: a search whose simulations all end in
// finished positions never calls the network, and must still notice a pending interrupt.
constexpr std::size_t kPollInterval = 256;

RootPolicy root_policy(const SearchNode& root);
VisitDist visit_dist(const SearchNode& root);
// The child of `root` for `action`, which becomes the next root.
SearchNode& advance_root(SearchNode& root, uint32_t action);

}  // namespace tavlox::self_play
