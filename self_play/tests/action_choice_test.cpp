#include <gtest/gtest.h>

#include <map>

#include "action_choice.h"
#include "scripted_evaluator.h"

namespace tavlox::self_play {
namespace {

TEST(GreedyActionTest, MostVisitedWinsAndTiesGoToTheLaterPair) {
  EXPECT_EQ(greedy_action({{4, 1}, {8, 7}, {2, 3}}), 8u);
  EXPECT_EQ(greedy_action({{4, 7}, {8, 7}, {2, 3}}), 8u);
  EXPECT_EQ(greedy_action({{4, 0}, {8, 0}, {2, 0}}), 2u);
}

TEST(SampledActionTest, DrawsInProportionToVisits) {
  Rng rng = test_support::seeded_rng(1);
  const VisitDist dist = {{5, 10}, {9, 0}, {3, 30}};
  constexpr int kDraws = 20000;
  std::map<uint32_t, int> counts;
  for (int i = 0; i < kDraws; ++i) ++counts[sampled_action(dist, rng)];
  EXPECT_EQ(counts[9], 0) << "an unvisited action was sampled";
  EXPECT_NEAR(double(counts[5]) / kDraws, 0.25, 0.015);
  EXPECT_NEAR(double(counts[3]) / kDraws, 0.75, 0.015);
}

TEST(SampledActionTest, NoVisitsAtAllTakesTheLastPair) {
  Rng rng = test_support::seeded_rng(2);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(sampled_action({{5, 0}, {9, 0}, {3, 0}}, rng), 3u);
}

}  // namespace
}  // namespace tavlox::self_play
