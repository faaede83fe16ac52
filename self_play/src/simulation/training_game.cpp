#include "training_game.h"

#include "action_choice.h"
#include "fault.h"
#include "gumbel.h"
#include "pieces.h"

namespace tavlox::self_play {
namespace {

bool any_visits(const VisitDist& dist) {
  for (const auto& pair : dist) {
    if (pair.second != 0) return true;
  }
  return false;
}

// The child with the highest prior (the first among equals): the move of a search that
// visited nothing.
uint32_t highest_prior(const SearchNode& root) {
  const SearchNode* best = &root.children.front();
  for (const SearchNode& child : root.children) {
    if (child.prior > best->prior) best = &child;
  }
  return best->action;
}

}  // namespace

Result<TrainingRecord> training_game(Evaluator& evaluator, const Config& config, Rng& rng) {
  return training_game(evaluator, config, SearchSettings{}, rng);
}

Result<TrainingRecord> training_game(Evaluator& evaluator, const Config& config,
                                     const SearchSettings& settings, Rng& rng) {
  check_dim(config.dim);
  Game game = Game::reset(uint32_t(config.dim));
  SearchNode root;
  std::vector<RootPolicy> policies;
  std::vector<Payoff> search_values;
  RootChoice choice;
  SearchScratch scratch;
  while (!game.is_terminal()) {
    // A draw only when some moves are fast, so that the default game draws as it always did.
    const bool full = settings.full_search_probability >= 1.0f ||
                      rng.uniform() < settings.full_search_probability;
    const std::size_t simulations = full ? config.sims_per_move : settings.fast_simulations;
    uint32_t action;
    if (settings.root == RootKind::kGumbel) {
      // The Gumbel draws explore; the chosen action is played in the opening too.
      if (auto error = run_gumbel(evaluator, config, settings, simulations, true, root, game, rng,
                                  choice, scratch)) {
        return std::move(*error);
      }
      if (choice.policy.empty()) fail("assertion failed: visit_dist.len() > 0");
      policies.push_back(full ? std::move(choice.policy) : RootPolicy{});
      action = choice.action;
    } else {
      const SearchOptions options = search_options(settings, simulations, full);
      if (auto error = run_search(evaluator, config, options, root, game, rng, scratch)) {
        return std::move(*error);
      }
      policies.push_back(full ? root_policy(root) : RootPolicy{});
      const VisitDist dist = visit_dist(root);
      if (dist.empty()) fail("assertion failed: visit_dist.len() > 0");
      // The opening is sampled: positions 1 to sample_moves - 1.
      const bool sampled = config.sample_moves > policies.size();
      if (!full && !any_visits(dist)) {
        action = highest_prior(root);
      } else {
        action = sampled ? sampled_action(dist, rng) : greedy_action(dist);
      }
    }
    search_values.push_back(mean_leaf_values(scratch));
    // A rejected tile leaves the game as it was; the game goes on regardless.
    (void)game.apply(action);
    // The chosen subtree becomes the whole tree: nothing reads the former root or its other
    // subtrees again, so they are released now rather than at the end of the game.
    SearchNode next = std::move(advance_root(root, action));
    root = std::move(next);
  }
  TrainingRecord record;
  record.payoffs = game.get_payoff();
  record.moves = std::move(game).take_history();
  record.policies = std::move(policies);
  record.search_values = std::move(search_values);
  return record;
}

}  // namespace tavlox::self_play
