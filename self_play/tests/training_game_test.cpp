#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "fault.h"
#include "scripted_evaluator.h"
#include "training_game.h"

namespace tavlox::self_play {
namespace {

using test_support::ScriptedEvaluator;
using test_support::seeded_rng;

Config training_config(size_t dim) {
  return test_support::test_config(dim, 8, 6);
}

TEST(TrainingGameTest, RecordReplaysToTheSameFinalPosition) {
  ScriptedEvaluator evaluator;
  Rng rng = seeded_rng(1);
  auto result = training_game(evaluator, training_config(5), rng);
  ASSERT_TRUE(std::holds_alternative<TrainingRecord>(result)) << std::get<std::string>(result);
  const TrainingRecord& record = std::get<TrainingRecord>(result);
  ASSERT_FALSE(record.moves.empty());
  EXPECT_EQ(record.moves.size(), record.policies.size());

  Game replay = Game::reset(5);
  for (size_t i = 0; i < record.moves.size(); ++i) {
    const auto& [player, tile] = record.moves[i];
    ASSERT_EQ(player, int32_t(replay.player())) << "move " << i;
    bool played_tile_listed = false;
    float fraction_sum = 0.0f;
    for (const auto& [action, fraction] : record.policies[i]) {
      played_tile_listed |= action == tile;
      fraction_sum += fraction;
    }
    EXPECT_TRUE(played_tile_listed) << "move " << i << " is not a child of its root";
    EXPECT_NEAR(fraction_sum, 1.0f, 1e-5f) << "policy " << i;
    ASSERT_EQ(replay.apply(uint32_t(tile)), std::nullopt) << "move " << i;
  }
  EXPECT_TRUE(replay.is_terminal());
  EXPECT_EQ(record.payoffs, replay.get_payoff());
  EXPECT_FLOAT_EQ(std::accumulate(record.payoffs.begin(), record.payoffs.end(), 0.0f), 1.0f);
}

TEST(TrainingGameTest, EvaluationErrorAbandonsTheGame) {
  ScriptedEvaluator evaluator;
  evaluator.fail_from(20, test_support::pipe_error());
  Rng rng = seeded_rng(2);
  auto result = training_game(evaluator, training_config(7), rng);
  ASSERT_TRUE(std::holds_alternative<std::string>(result));
  EXPECT_EQ(std::get<std::string>(result), test_support::pipe_error().display);
}

TEST(TrainingGameTest, BoardDimensionIsCheckedFirst) {
  ScriptedEvaluator evaluator;
  Rng rng = seeded_rng(3);
  for (size_t dim : {size_t(3), size_t(257), size_t(1) << 40}) {
    try {
      training_game(evaluator, training_config(dim), rng);
      ADD_FAILURE() << "dim " << dim << " was accepted";
    } catch (const Fault& fault) {
      EXPECT_NE(std::string(fault.what()).find("Invalid board dimension"), std::string::npos)
          << fault.what();
    }
  }
  EXPECT_EQ(evaluator.calls(), 0);
}

TEST(TrainingGameTest, RootWithoutChildrenIsAFault) {
  ScriptedEvaluator evaluator([](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    std::fill(out.policy_logits.begin(), out.policy_logits.end(), std::nanf(""));
  });
  Rng rng = seeded_rng(4);
  try {
    training_game(evaluator, training_config(5), rng);
    ADD_FAILURE() << "a root without children was searched";
  } catch (const Fault& fault) {
    EXPECT_STREQ(fault.what(), "assertion failed: visit_dist.len() > 0");
  }
}

}  // namespace
}  // namespace tavlox::self_play
