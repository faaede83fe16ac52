#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <vector>

#include "gumbel.h"
#include "matches.h"
#include "mcts.h"
#include "scripted_evaluator.h"
#include "training_game.h"

namespace tavlox::self_play {
namespace {

using test_support::ScriptedEvaluator;
using test_support::seeded_rng;
using test_support::test_config;

constexpr float kInf = std::numeric_limits<float>::infinity();

// Value logits that give player 0 the value `v`, with player `mover` to move.
void value_for_player_zero(float v, uint32_t mover, std::vector<float>& logits) {
  logits.assign(kPlayers, 0.0f);
  logits[(kPlayers - mover) % kPlayers] = std::log(3.0f * v / (1.0f - v));
}

struct GumbelCase {
  std::size_t actions;
  std::size_t simulations;
  std::vector<uint32_t> visits;  // per root tile, in the order of `tiles` below
  std::size_t chosen;            // the tile that survives the halving
};

class GumbelRootTest : public testing::TestWithParam<GumbelCase> {};

// Four root tiles with priors 0.4, 0.3, 0.2, 0.1; every position below a tile is worth
// 0.1, 0.2, 0.5, 0.45 to player 0 and the root itself 0.3. Sequential halving spends the
// budget as the phases say, and the target is softmax(log prior + sigma(completed Q)).
TEST_P(GumbelRootTest, HalvingSpendsTheBudgetAndTargetsCompletedQ) {
  const GumbelCase c = GetParam();
  const Game game = Game::reset(7);
  const std::vector<uint32_t> legal = game.get_legal_tiles();
  ASSERT_GE(legal.size(), 4u);
  const std::vector<uint32_t> tiles(legal.begin(), legal.begin() + 4);
  const std::vector<float> priors = {0.4f, 0.3f, 0.2f, 0.1f}, q = {0.1f, 0.2f, 0.5f, 0.45f};
  const float root_value = 0.3f;
  ScriptedEvaluator evaluator([&](const Game& g, NetworkOutput& out) {
    out.policy_logits.assign(std::size_t(g.dim()) * g.dim(), -kInf);
    for (std::size_t i = 0; i < tiles.size(); ++i)
      out.policy_logits[tiles[i]] = std::log(priors[i]);
    if (g.history().empty()) return value_for_player_zero(root_value, g.player(), out.value_logits);
    const auto first = std::find(tiles.begin(), tiles.end(), uint32_t(g.history()[0].tile));
    value_for_player_zero(q[std::size_t(first - tiles.begin())], g.player(), out.value_logits);
  });
  SearchSettings settings;
  settings.root = RootKind::kGumbel;
  settings.gumbel_actions = c.actions;
  settings.c_scale = 0.05f;
  Rng rng = seeded_rng(3);
  SearchNode root;
  RootChoice choice;
  ASSERT_EQ(run_gumbel(evaluator, test_config(7, 0), settings, c.simulations, false, root, game,
                       rng, choice),
            std::nullopt);

  // The expected target from the visits the halving should give.
  uint32_t most = 0, total = 0;
  float low = kInf, high = -kInf, visited_prior = 0.0f, weighted = 0.0f;
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(root.find_child(tiles[i])->visit_count, c.visits[i]) << "tile " << i;
    EXPECT_NEAR(root.find_child(tiles[i])->prior, priors[i], 1e-6);
    most = std::max(most, c.visits[i]);
    if (c.visits[i] == 0) continue;
    total += c.visits[i];
    low = std::min(low, q[i]), high = std::max(high, q[i]);
    visited_prior += priors[i], weighted += priors[i] * q[i];
  }
  const float mixed = (root_value + float(total) / visited_prior * weighted) / float(1 + total);
  std::vector<float> logits;
  for (std::size_t i = 0; i < 4; ++i) {
    const float completed = c.visits[i] != 0 ? q[i] : mixed;
    logits.push_back(std::log(priors[i]) +
                     (50.0f + float(most)) * 0.05f * (completed - low) / (high - low));
  }
  float norm = 0.0f;
  for (float l : logits) norm += std::exp(l);
  ASSERT_EQ(choice.policy.size(), 4u);
  float sum = 0.0f;
  for (const auto& [tile, share] : choice.policy) {
    const auto i =
        std::size_t(std::find(tiles.begin(), tiles.end(), uint32_t(tile)) - tiles.begin());
    EXPECT_NEAR(share, std::exp(logits[i]) / norm, 1e-4) << "tile " << i;
    sum += share;
  }
  EXPECT_NEAR(sum, 1.0f, 1e-5);
  EXPECT_EQ(choice.action, tiles[c.chosen]);
}

// m = 4, n = 16: two phases of 2 then 4 simulations, the two best Q values surviving and
// the higher prior of them winning; m = 2, n = 4: one phase of 2 each for the two highest
// priors, the better Q winning, the others completed by the mixed value; m = 4, n = 3: the
// budget runs out inside the first phase, and the choice is among the visited actions;
// m = 4, n = 21: the phases spend 8 + 10, and the last two share the 3 left over.
INSTANTIATE_TEST_SUITE_P(Budgets, GumbelRootTest,
                         testing::Values(GumbelCase{4, 16, {2, 2, 6, 6}, 2},
                                         GumbelCase{2, 4, {2, 2, 0, 0}, 1},
                                         GumbelCase{4, 3, {1, 1, 1, 0}, 2},
                                         GumbelCase{4, 21, {2, 2, 9, 8}, 2}));

struct FpuCase {
  std::optional<float> reduction;
  std::size_t least_visited, most_visited;  // children visited at least once
};

class FirstPlayUrgencyTest : public testing::TestWithParam<FpuCase> {};

// A uniform network: an optimistic urgency (negative reduction) visits every child before
// any twice, a large reduction never leaves the first child, and without it the search
// lies between.
TEST_P(FirstPlayUrgencyTest, UnvisitedChildrenScoreTheMeanLessTheReduction) {
  const FpuCase c = GetParam();
  const Game game = Game::reset(7);
  const std::size_t children = game.get_legal_tiles().size();
  ScriptedEvaluator evaluator;
  Rng rng = seeded_rng(2);
  SearchNode root;
  const SearchOptions options{children, false, c.reduction, {}};
  ASSERT_EQ(run_search(evaluator, test_config(7, 0), options, root, game, rng), std::nullopt);
  std::size_t visited = 0;
  for (const SearchNode& child : root.children) visited += child.visit_count > 0;
  EXPECT_GE(visited, c.least_visited == 0 ? children : c.least_visited);
  EXPECT_LE(visited, c.most_visited == 0 ? children : c.most_visited);
}

INSTANTIATE_TEST_SUITE_P(Reductions, FirstPlayUrgencyTest,
                         testing::Values(FpuCase{-1.0f, 0, 0}, FpuCase{1.0f, 1, 1},
                                         FpuCase{std::nullopt, 2, 8}));

// Playout-cap randomisation: with p = 0.5 some moves are searched fully and recorded with a
// distribution, the others leave an empty policy; p = 1 records every move.
TEST(PlayoutCapTest, OnlyFullSearchesAreRecorded) {
  for (const float p : {0.5f, 1.0f}) {
    SearchSettings settings;
    settings.full_search_probability = p;
    settings.fast_simulations = 2;
    std::size_t recorded = 0, moves = 0;
    for (uint32_t seed = 0; seed < 4; ++seed) {
      ScriptedEvaluator evaluator;
      Rng rng = seeded_rng(seed);
      auto record =
          std::get<TrainingRecord>(training_game(evaluator, test_config(7, 8, 3), settings, rng));
      ASSERT_EQ(record.policies.size(), record.moves.size());
      for (const RootPolicy& policy : record.policies) {
        ++moves;
        if (policy.empty()) continue;
        ++recorded;
        float sum = 0.0f;
        for (const auto& pair : policy) sum += pair.second;
        EXPECT_NEAR(sum, 1.0f, 1e-5);
      }
    }
    if (p == 1.0f) {
      EXPECT_EQ(recorded, moves);
    } else {
      // Binomial(moves, 0.5) within four standard deviations.
      EXPECT_NEAR(double(recorded), moves / 2.0, 4.0 * std::sqrt(moves / 4.0)) << moves;
    }
  }
}

// Every legal first tile opens equally many of count * k consecutive games.
TEST(OpeningTest, FirstTileOpeningCoversEveryLegalFirstTileEqually) {
  const Game game = Game::reset(9);
  const std::vector<uint32_t> legal = game.get_legal_tiles();
  MatchSettings match;
  match.opening = OpeningKind::kFirstTile;
  Rng rng = seeded_rng(1);
  std::map<uint32_t, int> opened;
  for (uint64_t n = 100; n < 100 + 3 * legal.size(); ++n) {
    ++opened[*opening_tile(match, n, 0, game, rng)];
    EXPECT_FALSE(opening_tile(match, n, 1, game, rng).has_value());
  }
  ASSERT_EQ(opened.size(), legal.size());
  for (const auto& [tile, games] : opened) EXPECT_EQ(games, 3) << "tile " << tile;
}

}  // namespace
}  // namespace tavlox::self_play
