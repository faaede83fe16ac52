#include "mcts.h"

#include <cmath>
#include <limits>
#include <utility>

#include "evaluate.h"
#include "fault.h"
#include "rollout.h"

namespace tavlox::self_play {
namespace {

void add_root_noise(const Config& config, SearchNode& root, Rng& rng, std::vector<float>& noise) {
  if (root.children.size() < 2) return;
  if (!rng.dirichlet(config.dirichlet_alpha, root.children.size(), noise)) {
    fail("Noise should be generated ok: AlphaTooSmall");
  }
  const float keep = 1.0f - config.exploration_fraction;
  for (size_t k = 0; k < root.children.size(); ++k) {
    SearchNode& child = root.children[k];
    child.prior = config.exploration_fraction * noise[k] + keep * child.prior;
  }
}

// What an unvisited child of `node` scores: 0 without first-play urgency, else the mean
// value of the visited children (in the mover's terms) minus the reduction.
float unvisited_score(const SearchNode& node, const std::optional<float>& fpu) {
  if (!fpu) return 0.0f;
  float value_sum = 0.0f;
  uint32_t visits = 0;
  for (const SearchNode& child : node.children) {
    value_sum += child.value_sum;
    visits += child.visit_count;
  }
  return (visits != 0 ? value_sum / float(visits) : 0.0f) - *fpu;
}

// The child with the highest selection score; equal scores go to the later child and a NaN
// score never wins. Null when every score is NaN.
SearchNode* select_child(const Config& config, const std::optional<float>& fpu, SearchNode& node) {
  const float unvisited = unvisited_score(node, fpu);
  const float parent_visits = float(node.visit_count);
  const float exploration =
      std::sqrt(parent_visits) *
      (config.c_init + std::log(((config.c_base + parent_visits) + 1.0f) / config.c_base));
  float best = -std::numeric_limits<float>::infinity();
  SearchNode* chosen = nullptr;
  for (SearchNode& child : node.children) {
    const float visits = float(child.visit_count);
    const float mean = child.visit_count != 0 ? child.value_sum / visits : unvisited;
    const float score = mean + child.prior * (exploration / (visits + 1.0f));
    if (score >= best) {
      best = score;
      chosen = &child;
    }
  }
  return chosen;
}

// Credits `node` with the value of `player`.
void back_up(SearchNode& node, uint32_t player, const ValueVector& values) {
  node.visit_count += 1;
  check_index(player, values.size());
  node.value_sum += values[player];
}

// Adds the leaf's values to the search's sums of them.
void add_leaf_values(SearchScratch& scratch) {
  check_index(kPlayers - 1, scratch.values.size());
  for (uint32_t p = 0; p < kPlayers; ++p) scratch.leaf_value_sum[p] += scratch.values[p];
  scratch.leaves += 1;
}

}  // namespace

Payoff mean_leaf_values(const SearchScratch& scratch) {
  Payoff mean;
  for (uint32_t p = 0; p < kPlayers; ++p) {
    mean[p] = scratch.leaves != 0 ? float(scratch.leaf_value_sum[p] / scratch.leaves)
                                  : std::numeric_limits<float>::quiet_NaN();
  }
  return mean;
}

// The path holds the root and every node below it that the selection went through;
// evaluating the leaf only adds children to the leaf, so the pointers stay valid until the
// backup.
Status simulate(Evaluator& evaluator, const Config& config, const SearchOptions& options,
                SearchNode& root, SearchNode* first, Game& game, Rng& rng, SearchScratch& scratch) {
  scratch.path.clear();
  SearchNode* node = &root;
  scratch.path.push_back(node);
  while (!node->is_leaf()) {
    node = first != nullptr ? std::exchange(first, nullptr)
                            : select_child(config, options.fpu_reduction, *node);
    if (node == nullptr) return "All UCB scores NaN";
    // A rejected tile leaves the copy as it was; the search carries on regardless.
    (void)game.apply(node->action);
    scratch.path.push_back(node);
  }
  if (auto error = evaluate(evaluator, *node, game, rng, scratch.values, scratch.evaluation)) {
    return std::move(error->display);
  }
  if (options.rollouts.weight > 0.0f && !game.is_terminal()) {
    mix_rollouts(options.rollouts, game, rng, scratch.rollouts, scratch.values);
  }
  add_leaf_values(scratch);
  // Each child is credited with the value of the player who chose it, the player its
  // parent's selection maximises for: a tile that completes a piece hands the turn on, and
  // a terminal leaf has no player of its own. The root counts every simulation too (in its
  // own player's terms), so that its exploration term grows with them.
  back_up(root, root.player, scratch.values);
  for (size_t i = 1; i < scratch.path.size(); ++i) {
    back_up(*scratch.path[i], scratch.path[i - 1]->player, scratch.values);
  }
  return std::nullopt;
}

SearchOptions search_options(const SearchSettings& settings, std::size_t simulations,
                             bool root_noise) {
  return SearchOptions{simulations, root_noise, settings.fpu_reduction,
                       Rollouts{settings.rollout_weight, settings.rollout_player, settings.rollouts,
                                settings.rollout_temperature}};
}

Status run_mcts(Evaluator& evaluator, const Config& config, SearchNode& root, const Game& game,
                Rng& rng) {
  return run_search(evaluator, config, SearchOptions{config.sims_per_move, true, std::nullopt, {}},
                    root, game, rng);
}

Status run_search(Evaluator& evaluator, const Config& config, const SearchOptions& options,
                  SearchNode& root, const Game& game, Rng& rng) {
  SearchScratch scratch;
  return run_search(evaluator, config, options, root, game, rng, scratch);
}

Status run_search(Evaluator& evaluator, const Config& config, const SearchOptions& options,
                  SearchNode& root, const Game& game, Rng& rng, SearchScratch& scratch) {
  scratch.forget_leaf_values();
  if (root.is_leaf()) {
    if (auto error = evaluate(evaluator, root, game, rng, scratch.values, scratch.evaluation)) {
      return "Error evaluating root node: " + error->display;
    }
  }
  if (options.root_noise) add_root_noise(config, root, rng, scratch.noise);
  if (options.simulations == 0) return std::nullopt;
  Game simulation = game;
  for (size_t i = 0; i < options.simulations; ++i) {
    // Assignment reuses the copy's buffers.
    if (i != 0) simulation = game;
    if (auto error =
            simulate(evaluator, config, options, root, nullptr, simulation, rng, scratch)) {
      return error;
    }
    if ((i + 1) % kPollInterval == 0) {
      if (auto error = evaluator.poll()) return std::move(error->display);
    }
  }
  return std::nullopt;
}

RootPolicy root_policy(const SearchNode& root) {
  uint32_t total = 0;
  for (const SearchNode& child : root.children) total += child.visit_count;
  RootPolicy policy;
  policy.reserve(root.children.size());
  for (const SearchNode& child : root.children) {
    policy.emplace_back(int32_t(child.action), float(child.visit_count) / float(total));
  }
  return policy;
}

VisitDist visit_dist(const SearchNode& root) {
  VisitDist dist;
  dist.reserve(root.children.size());
  for (const SearchNode& child : root.children) dist.emplace_back(child.action, child.visit_count);
  return dist;
}

SearchNode& advance_root(SearchNode& root, uint32_t action) {
  SearchNode* child = root.find_child(action);
  if (child == nullptr) fail("Child should have corresponding action");
  return *child;
}

}  // namespace tavlox::self_play
