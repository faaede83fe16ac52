#include "training_game.h"

#include "action_choice.h"
#include "fault.h"
#include "pieces.h"

namespace tavlox::self_play {

Result<TrainingRecord> training_game(Evaluator& evaluator, const Config& config, Rng& rng) {
  check_dim(config.dim);
  Game game = Game::reset(uint32_t(config.dim));
  SearchNode root;
  std::vector<RootPolicy> policies;
  while (!game.is_terminal()) {
    if (auto error = run_mcts(evaluator, config, root, game, rng)) return std::move(*error);
    policies.push_back(root_policy(root));
    const VisitDist dist = visit_dist(root);
    if (dist.empty()) fail("assertion failed: visit_dist.len() > 0");
    // The opening is sampled: positions 1 to sample_moves - 1.
    const bool sampled = config.sample_moves > policies.size();
    const uint32_t action = sampled ? sampled_action(dist, rng) : greedy_action(dist);
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
  return record;
}

}  // namespace tavlox::self_play
