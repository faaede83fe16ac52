#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "fault.h"
#include "mcts.h"
#include "scripted_evaluator.h"

namespace tavlox::self_play {
namespace {

using test_support::ScriptedEvaluator;
using test_support::seeded_rng;

constexpr float kInf = std::numeric_limits<float>::infinity();

Config search_config(size_t sims) {
  return test_support::test_config(7, sims);
}

std::string fault_message(const std::function<void()>& call) {
  try {
    call();
  } catch (const Fault& fault) {
    return fault.what();
  }
  return "no fault";
}

// Only `tile` gets a finite logit, so every expansion of the root creates one child.
ScriptedEvaluator single_tile_evaluator(uint32_t tile) {
  return ScriptedEvaluator([tile](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    std::fill(out.policy_logits.begin(), out.policy_logits.end(), -kInf);
    out.policy_logits[tile] = 0.0f;
  });
}

TEST(MctsTest, RootCountsEverySimulationAndVisitsSpread) {
  const Game game = Game::reset(7);
  ScriptedEvaluator evaluator;
  Rng rng = seeded_rng(1);
  SearchNode root;
  ASSERT_EQ(run_mcts(evaluator, search_config(60), root, game, rng), std::nullopt);
  EXPECT_EQ(root.visit_count, 60u);
  EXPECT_FLOAT_EQ(root.value_sum, 60 * 0.25f) << "the root adds its own player's value";
  uint32_t child_visits = 0;
  int visited_children = 0;
  for (const auto& [action, visits] : visit_dist(root)) {
    child_visits += visits;
    visited_children += visits > 0;
  }
  EXPECT_EQ(child_visits, 60u) << "each simulation goes through exactly one root child";
  EXPECT_GT(visited_children, 1) << "a uniform network must not send every visit to one child";
  EXPECT_EQ(evaluator.calls(), 61) << "one root expansion plus one leaf per simulation";
}

// Simulations through `node` whose leaf had `player` to move.
uint32_t leaves_moved_by(const SearchNode& node, uint32_t player) {
  uint32_t below = 0;
  uint32_t through_children = 0;
  for (const SearchNode& child : node.children) {
    below += leaves_moved_by(child, player);
    through_children += child.visit_count;
  }
  const uint32_t ended_here = node.visit_count - through_children;
  return below + (node.player == player ? ended_here : 0);
}

// Every child holds the value of the player who chose it: its parent's player.
void expect_chooser_values(const SearchNode& node) {
  for (const SearchNode& child : node.children) {
    EXPECT_EQ(child.value_sum, float(leaves_moved_by(child, node.player)))
        << "tile " << child.action << " chosen by player " << node.player;
    expect_chooser_values(child);
  }
}

TEST(MctsTest, EachChildCollectsTheValueOfThePlayerWhoChoseIt) {
  // Player 0 has chosen four tiles in a row, so every next tile completes a pentomino and
  // the search crosses turns of players 0, 1 and 2.
  Game game = Game::reset(20);
  for (uint32_t tile : {0u, 1u, 2u, 3u}) ASSERT_EQ(game.apply(tile), std::nullopt);
  // The mover's value is 1, everyone else's 0.
  ScriptedEvaluator mover_wins([](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    out.value_logits = {0.0f, -kInf, -kInf, -kInf};
  });
  Rng rng = seeded_rng(9);
  // The scratch first serves a search of another position: its sums must not carry over.
  SearchScratch scratch;
  SearchNode other;
  const SearchOptions options{12, true, std::nullopt, {}};
  ASSERT_EQ(
      run_search(mover_wins, search_config(12), options, other, Game::reset(20), rng, scratch),
      std::nullopt);
  SearchNode root;
  ASSERT_EQ(run_search(mover_wins, search_config(12), options, root, game, rng, scratch),
            std::nullopt);
  EXPECT_EQ(root.value_sum, 0.0f) << "player 0 never moves at a leaf of this search";
  expect_chooser_values(root);
  // The search's mean leaf values, in absolute order: each player's share of the leaves.
  const Payoff mean = mean_leaf_values(scratch);
  EXPECT_GT(leaves_moved_by(root, 1), 0u);
  for (uint32_t player = 0; player < kPlayers; ++player) {
    EXPECT_FLOAT_EQ(mean[player], float(leaves_moved_by(root, player)) / 12.0f) << player;
  }
  // Completing the piece hands the turn to player 1, whose leaf value is 1 and player 0's 0:
  // the completing tiles must not look good to player 0.
  for (const SearchNode& child : root.children) {
    EXPECT_EQ(child.value_sum, 0.0f) << "tile " << child.action << " credited player 1's value";
  }
}

TEST(MctsTest, EqualScoresGoToTheLaterChild) {
  const Game game = Game::reset(7);
  const std::vector<uint32_t> legal = game.get_legal_tiles();
  for (const auto& order : {std::array{legal[0], legal[1]}, std::array{legal[1], legal[0]}}) {
    SearchNode root;
    for (uint32_t action : order) {
      root.children.emplace_back();
      root.children.back().action = action;
      root.children.back().prior = 0.5f;
    }
    Config config = search_config(1);
    config.exploration_fraction = 0.0f;
    ScriptedEvaluator evaluator;
    Rng rng = seeded_rng(10);
    ASSERT_EQ(run_mcts(evaluator, config, root, game, rng), std::nullopt);
    EXPECT_EQ(root.children[0].visit_count, 0u);
    EXPECT_EQ(root.children[1].visit_count, 1u) << "the tie went to the earlier child";
  }
}

TEST(MctsTest, RootPolicyIsVisitShareInChildOrder) {
  const Game game = Game::reset(7);
  ScriptedEvaluator evaluator;
  Rng rng = seeded_rng(2);
  SearchNode root;
  ASSERT_EQ(run_mcts(evaluator, search_config(40), root, game, rng), std::nullopt);
  const RootPolicy policy = root_policy(root);
  const VisitDist dist = visit_dist(root);
  ASSERT_EQ(policy.size(), root.children.size());
  for (size_t i = 0; i < policy.size(); ++i) {
    EXPECT_EQ(uint32_t(policy[i].first), root.children[i].action);
    EXPECT_EQ(dist[i].first, root.children[i].action);
    EXPECT_EQ(policy[i].second, float(dist[i].second) / 40.0f);
  }
}

TEST(MctsTest, NonPositiveAlphaFaultsOnlyWithTwoOrMoreChildren) {
  const Game game = Game::reset(7);
  for (float alpha : {0.0f, -0.5f, std::nanf("")}) {
    Config config = search_config(4);
    config.dirichlet_alpha = alpha;
    ScriptedEvaluator evaluator;
    Rng rng = seeded_rng(3);
    SearchNode root;
    EXPECT_EQ(fault_message([&] { run_mcts(evaluator, config, root, game, rng); }),
              "Noise should be generated ok: AlphaTooSmall")
        << "alpha " << alpha;
  }
}

TEST(MctsTest, SingleChildRootGetsNoNoiseAndDrawsNothing) {
  const Game game = Game::reset(7);
  ScriptedEvaluator evaluator = single_tile_evaluator(game.get_legal_tiles().front());
  Config config = search_config(0);
  config.dirichlet_alpha = 0.0f;
  Rng rng = seeded_rng(4);
  Rng untouched = rng;
  SearchNode root;
  ASSERT_EQ(run_mcts(evaluator, config, root, game, rng), std::nullopt);
  ASSERT_EQ(root.children.size(), 1u);
  EXPECT_EQ(root.children[0].prior, 1.0f);
  EXPECT_EQ(rng.next_u32(), untouched.next_u32()) << "the search drew from the generator";
}

TEST(MctsTest, ZeroSimulationsOnlyExpandTheRoot) {
  const Game game = Game::reset(7);
  ScriptedEvaluator evaluator;
  Rng rng = seeded_rng(5);
  SearchNode root;
  ASSERT_EQ(run_mcts(evaluator, search_config(0), root, game, rng), std::nullopt);
  EXPECT_EQ(evaluator.calls(), 1);
  EXPECT_EQ(root.children.size(), game.get_legal_tiles().size());
  EXPECT_EQ(root.visit_count, 0u);
  float prior_sum = 0.0f;
  for (const SearchNode& child : root.children) prior_sum += child.prior;
  EXPECT_NEAR(prior_sum, 1.0f, 1e-5f) << "noise mixing must keep the priors a distribution";
  for (const auto& [action, fraction] : root_policy(root)) {
    EXPECT_TRUE(std::isnan(fraction)) << "tile " << action << " has fraction " << fraction;
  }
}

TEST(MctsTest, NaNScoresEndTheSearch) {
  const Game game = Game::reset(7);
  Config config = search_config(3);
  config.c_init = std::nanf("");
  ScriptedEvaluator evaluator;
  Rng rng = seeded_rng(6);
  SearchNode root;
  EXPECT_EQ(run_mcts(evaluator, config, root, game, rng), "All UCB scores NaN");
}

TEST(MctsTest, EvaluationErrorsBecomeErrorTexts) {
  const Game game = Game::reset(7);
  ScriptedEvaluator at_root;
  at_root.fail_from(0, test_support::pipe_error());
  Rng rng = seeded_rng(7);
  SearchNode root;
  EXPECT_EQ(run_mcts(at_root, search_config(3), root, game, rng),
            "Error evaluating root node: " + test_support::pipe_error().display);
  EXPECT_TRUE(root.is_leaf());

  ScriptedEvaluator in_simulation;
  in_simulation.fail_from(3, test_support::pipe_error());
  SearchNode expanded;
  EXPECT_EQ(run_mcts(in_simulation, search_config(10), expanded, game, rng),
            test_support::pipe_error().display);
  EXPECT_EQ(expanded.visit_count, 2u) << "two simulations finished before the error";
}

TEST(MctsTest, AdvanceRootNeedsAChildForTheAction) {
  const Game game = Game::reset(7);
  ScriptedEvaluator evaluator = single_tile_evaluator(game.get_legal_tiles().front());
  Rng rng = seeded_rng(8);
  SearchNode root;
  ASSERT_EQ(run_mcts(evaluator, search_config(5), root, game, rng), std::nullopt);
  const uint32_t action = root.children[0].action;
  EXPECT_EQ(&advance_root(root, action), &root.children[0]);
  EXPECT_EQ(fault_message([&] { advance_root(root, action + 1); }),
            "Child should have corresponding action");
}

}  // namespace
}  // namespace tavlox::self_play
