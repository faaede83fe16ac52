#pragma once

#include <string>
#include <variant>
#include <vector>

#include "config.h"
#include "evaluator.h"
#include "mcts.h"
#include "random.h"
#include "result.h"
#include "search_settings.h"

namespace tavlox::self_play {

struct TrainingRecord {
  std::vector<HistoryEntry> moves;
  std::vector<RootPolicy> policies;
  // Per move, the search's mean leaf value of every player (NaN for a search with no
  // simulations).
  std::vector<Payoff> search_values;
  Payoff payoffs;
};

// Plays one self-play game to the end with a search before every action. Returns the
// record, or the error text of the search that failed.
Result<TrainingRecord> training_game(Evaluator& evaluator, const Config& config, Rng& rng);
// The same with `settings`: the root kind, first-play urgency and playout-cap
// randomisation. A move searched with the fast budget is not recorded: its policy is empty.
// With default settings this is the game above, draw for draw.
Result<TrainingRecord> training_game(Evaluator& evaluator, const Config& config,
                                     const SearchSettings& settings, Rng& rng);

}  // namespace tavlox::self_play
