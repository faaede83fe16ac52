#include <gtest/gtest.h>

#include "gumbel.h"
#include "scripted_evaluator.h"

namespace tavlox::self_play {
namespace {

using test_support::ScriptedEvaluator;
using test_support::seeded_rng;

// A root kept from an earlier search, as the self-play driver keeps it: the halving must
// judge its actions by their values, not by the visits they brought along. The first of the
// two actions arrives with many visits that all lost; each then gets the same new simulations.
TEST(GumbelTest, ReusedRootChoosesByValueNotByEarlierVisits) {
  const Game game = Game::reset(7);
  ScriptedEvaluator evaluator;
  SearchSettings settings;
  settings.root = RootKind::kGumbel;
  settings.gumbel_actions = 2;
  const Config config = test_support::test_config(7, 16);
  Rng rng = seeded_rng(3);
  SearchNode root;
  RootChoice choice;
  ASSERT_EQ(run_gumbel(evaluator, config, settings, 0, false, root, game, rng, choice),
            std::nullopt);
  ASSERT_GE(root.children.size(), 2u);
  SearchNode& losing = root.children[0];
  losing.visit_count = 10;
  losing.value_sum = 0.0f;
  root.visit_count = 10;

  ASSERT_EQ(run_gumbel(evaluator, config, settings, 16, false, root, game, rng, choice),
            std::nullopt);
  EXPECT_EQ(losing.visit_count, 18u) << "half of the 16 simulations";
  EXPECT_EQ(root.children[1].visit_count, 8u);
  EXPECT_EQ(choice.action, root.children[1].action);
}

}  // namespace
}  // namespace tavlox::self_play
