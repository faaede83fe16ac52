#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "evaluate.h"
#include "fault.h"
#include "scripted_evaluator.h"
#include "softmax.h"

namespace tavlox::self_play {
namespace {

using test_support::ScriptedEvaluator;
using test_support::seeded_rng;

constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<uint32_t> child_actions(const SearchNode& node) {
  std::vector<uint32_t> actions;
  for (const SearchNode& child : node.children) actions.push_back(child.action);
  return actions;
}

TEST(EvaluateTest, TerminalPositionYieldsPayoffWithoutAskingTheNetwork) {
  Game game = Game::reset(5);
  test_support::play_until(game, [](const Game&) { return false; });
  ASSERT_TRUE(game.is_terminal());
  ScriptedEvaluator evaluator;
  Rng rng = seeded_rng(1);
  SearchNode node;
  ValueVector values;
  ASSERT_FALSE(evaluate(evaluator, node, game, rng, values));
  const Payoff payoff = game.get_payoff();
  EXPECT_EQ(values, ValueVector(payoff.begin(), payoff.end()));
  EXPECT_EQ(evaluator.calls(), 0);
  EXPECT_TRUE(node.is_leaf());
  EXPECT_EQ(node.player, 0u);
}

TEST(EvaluateTest, ValuesAreRotatedFromTheMoverToAbsolutePlayers) {
  Game game = Game::reset(7);
  test_support::play_until(game, [](const Game& g) { return g.player() == 2; });
  ASSERT_EQ(game.player(), 2u);
  ScriptedEvaluator evaluator([](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    out.value_logits = {1, 2, 3, 4};
  });
  Rng rng = seeded_rng(2);
  SearchNode node;
  ValueVector values;
  ASSERT_FALSE(evaluate(evaluator, node, game, rng, values));
  EXPECT_EQ(values, softmax({3, 4, 1, 2})) << "player 2 must receive the share of logit 0";
  EXPECT_EQ(node.player, 2u);
}

TEST(EvaluateTest, FewerValueLogitsThanThePlayerIndexIsAFault) {
  Game game = Game::reset(7);
  test_support::play_until(game, [](const Game& g) { return g.player() == 2; });
  ScriptedEvaluator evaluator([](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    out.value_logits = {0};
  });
  Rng rng = seeded_rng(3);
  SearchNode node;
  ValueVector values;
  EXPECT_THROW(evaluate(evaluator, node, game, rng, values), Fault);
  EXPECT_TRUE(node.is_leaf()) << "the node changed before the fault";
}

TEST(EvaluateTest, ChildrenAreTheLegalTilesWithTheirProbabilitiesInRandomOrder) {
  const Game game = Game::reset(20);
  const std::vector<uint32_t> legal = game.get_legal_tiles();
  ASSERT_GT(legal.size(), 10u);
  ScriptedEvaluator evaluator([](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    for (size_t i = 0; i < out.policy_logits.size(); ++i) out.policy_logits[i] = float(i % 7);
  });
  NetworkOutput raw;
  evaluator.infer(game, raw);
  const std::vector<float> expected = masked_softmax(raw.policy_logits, legal);

  std::vector<std::vector<uint32_t>> orders;
  for (uint32_t seed = 0; seed < 4; ++seed) {
    Rng rng = seeded_rng(seed);
    SearchNode node;
    ValueVector values;
    ASSERT_FALSE(evaluate(evaluator, node, game, rng, values));
    for (const SearchNode& child : node.children) {
      EXPECT_EQ(child.prior, expected[child.action]) << "tile " << child.action;
      EXPECT_TRUE(child.is_leaf() && child.visit_count == 0 && child.value_sum == 0.0f);
    }
    orders.push_back(child_actions(node));
    std::vector<uint32_t> sorted = orders.back();
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, legal) << "seed " << seed;
  }
  EXPECT_TRUE(orders[0] != orders[1] || orders[0] != orders[2] || orders[0] != orders[3])
      << "four generators produced the same child order";
}

TEST(EvaluateTest, NegativeInfinityLogitsCreateNoChild) {
  const Game game = Game::reset(20);
  const std::vector<uint32_t> legal = game.get_legal_tiles();
  ScriptedEvaluator one_excluded([&](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    out.policy_logits[legal.front()] = -kInf;
  });
  Rng rng = seeded_rng(4);
  SearchNode node;
  ValueVector values;
  ASSERT_FALSE(evaluate(one_excluded, node, game, rng, values));
  EXPECT_EQ(node.children.size(), legal.size() - 1);
  EXPECT_EQ(node.find_child(legal.front()), nullptr);

  ScriptedEvaluator all_excluded([](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    std::fill(out.policy_logits.begin(), out.policy_logits.end(), -kInf);
  });
  SearchNode empty;
  ASSERT_FALSE(evaluate(all_excluded, empty, game, rng, values));
  EXPECT_TRUE(empty.is_leaf()) << "NaN probabilities must not become children";
}

TEST(EvaluateTest, ReexpansionReplacesAChildUnderTheSameAction) {
  const Game game = Game::reset(7);
  const uint32_t tile = game.get_legal_tiles().front();
  SearchNode node;
  node.children.resize(1);
  node.children[0].action = tile;
  node.children[0].visit_count = 5;
  node.children[0].children.resize(3);
  ScriptedEvaluator evaluator;
  Rng rng = seeded_rng(5);
  ValueVector values;
  ASSERT_FALSE(evaluate(evaluator, node, game, rng, values));
  const auto actions = child_actions(node);
  EXPECT_EQ(std::count(actions.begin(), actions.end(), tile), 1);
  const SearchNode* child = node.find_child(tile);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->visit_count, 0u);
  EXPECT_TRUE(child->is_leaf());
}

TEST(EvaluateTest, ErrorLeavesTheNodeUnchanged) {
  const Game game = Game::reset(7);
  ScriptedEvaluator evaluator;
  evaluator.fail_from(0, test_support::pipe_error());
  Rng rng = seeded_rng(6);
  SearchNode node;
  ValueVector values;
  const auto error = evaluate(evaluator, node, game, rng, values);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->display, test_support::pipe_error().display);
  EXPECT_TRUE(node.is_leaf());
}

}  // namespace
}  // namespace tavlox::self_play
