#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "matches.h"
#include "scripted_evaluator.h"

namespace tavlox::self_play {
namespace {

using test_support::CapturingOutput;
using test_support::ScriptedEvaluator;
using test_support::seeded_rng;

constexpr float kInf = std::numeric_limits<float>::infinity();

ScriptedEvaluator no_legal_probability() {
  return ScriptedEvaluator([](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    std::fill(out.policy_logits.begin(), out.policy_logits.end(), -kInf);
  });
}

bool is_possible_payoff(float payoff) {
  for (float share : {0.0f, 0.25f, 1.0f / 3.0f, 0.5f, 1.0f}) {
    if (payoff == share) return true;
  }
  return false;
}

TEST(DebugQuoteTest, EscapesQuotesBackslashesAndLineBreaks) {
  EXPECT_EQ(debug_quote("Error running MCTS"), "\"Error running MCTS\"");
  EXPECT_EQ(debug_quote("a\"b\\c\nd"), "\"a\\\"b\\\\c\\nd\"");
}

TEST(BestActionTest, PicksTheHighestPrior) {
  const Game game = Game::reset(20);
  const std::vector<uint32_t> legal = game.get_legal_tiles();
  ASSERT_GE(legal.size(), 3u);
  ScriptedEvaluator evaluator([&](const Game& g, NetworkOutput& out) {
    ScriptedEvaluator::uniform(g, out);
    std::fill(out.policy_logits.begin(), out.policy_logits.end(), -kInf);
    out.policy_logits[legal[0]] = std::log(0.2f);
    out.policy_logits[legal[1]] = std::log(0.5f);
    out.policy_logits[legal[2]] = std::log(0.3f);
  });
  for (uint32_t seed = 0; seed < 4; ++seed) {
    Rng rng = seeded_rng(seed);
    EXPECT_EQ(best_action(evaluator, game, rng), (std::variant<uint32_t, std::string>(legal[1])));
  }
}

TEST(BestActionTest, WithoutAnyChildFallsBackToALegalTile) {
  ScriptedEvaluator evaluator = no_legal_probability();
  Rng rng = seeded_rng(1);
  const Game fresh = Game::reset(20);
  EXPECT_EQ(best_action(evaluator, fresh, rng), (std::variant<uint32_t, std::string>(0u)));

  Game later = Game::reset(20);
  test_support::play_until(later, [](const Game& g) { return g.player() == 1; });
  ASSERT_FALSE(later.is_legal_tile(0));
  const uint32_t first_legal = later.get_legal_tiles().front();
  EXPECT_EQ(best_action(evaluator, later, rng), (std::variant<uint32_t, std::string>(first_legal)));
}

TEST(TestAgainstRandomTest, FinishesSilentlyWithSeatZerosPayoff) {
  ScriptedEvaluator model;
  Config config{};
  config.dim = 7;
  config.rep = 1;
  Rng rng = seeded_rng(2);
  CapturingOutput out;
  const auto result = test_against_random(model, config, rng, out);
  ASSERT_TRUE(std::holds_alternative<float>(result)) << std::get<std::string>(result);
  const float payoff = std::get<float>(result);
  EXPECT_TRUE(is_possible_payoff(payoff)) << payoff;
  EXPECT_GT(model.calls(), 0);
  EXPECT_EQ(out.text(), "");
}

TEST(TestAgainstRandomTest, NetworkWithoutLegalProbabilityStillFinishes) {
  ScriptedEvaluator model = no_legal_probability();
  Config config{};
  config.dim = 6;
  config.rep = 1;
  Rng rng = seeded_rng(3);
  CapturingOutput out;
  EXPECT_TRUE(std::holds_alternative<float>(test_against_random(model, config, rng, out)));
}

TEST(TestAgainstRandomTest, EvaluationErrorPrintsOneQuotedLine) {
  ScriptedEvaluator model;
  model.fail_from(2, test_support::pipe_error());
  Config config{};
  config.dim = 7;
  config.rep = 1;
  Rng rng = seeded_rng(4);
  CapturingOutput out;
  EXPECT_EQ(test_against_random(model, config, rng, out), Result<float>(kMatchError));
  EXPECT_EQ(out.text(),
            "Error running MCTS: " +
                debug_quote("Error evaluating root node: " + test_support::pipe_error().debug) +
                "\n");
}

TEST(TestGameTest, PrintsTheFinalBoardAndReturnsSeatZerosPayoff) {
  ScriptedEvaluator model;
  ScriptedEvaluator baseline;
  Rng rng = seeded_rng(5);
  CapturingOutput out;
  const auto result = test_game(model, baseline, rng, out);
  ASSERT_TRUE(std::holds_alternative<float>(result)) << std::get<std::string>(result);
  EXPECT_TRUE(is_possible_payoff(std::get<float>(result))) << std::get<float>(result);
  EXPECT_GT(model.calls(), 0);
  EXPECT_GT(baseline.calls(), 0);
  const std::string header = "Finished Game\n";
  ASSERT_EQ(out.text().substr(0, header.size()), header);
  // Twenty board rows and the empty line after them.
  EXPECT_EQ(std::count(out.text().begin(), out.text().end(), '\n'), 22) << out.text();
}

TEST(TestGameTest, ErrorOfEitherNetworkEndsTheMatch) {
  ScriptedEvaluator model;
  ScriptedEvaluator baseline;
  baseline.fail_from(0, test_support::pipe_error());
  Rng rng = seeded_rng(6);
  CapturingOutput out;
  const auto result = test_game(model, baseline, rng, out);
  EXPECT_EQ(result, (std::variant<float, std::string>(std::string("Error running MCTS"))));
  EXPECT_EQ(out.text(),
            "Error running MCTS: " +
                debug_quote("Error evaluating root node: " + test_support::pipe_error().debug) +
                "\n");
}

}  // namespace
}  // namespace tavlox::self_play
