#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "mcts.h"
#include "rollout.h"
#include "scripted_evaluator.h"

namespace tavlox::self_play {
namespace {

using test_support::ScriptedEvaluator;
using test_support::seeded_rng;
using test_support::test_config;

class RolloutTest : public testing::TestWithParam<ReferenceKind> {};

// Play-outs from positions inside a turn, one or three per leaf, worth their payoff or their
// softened scores, with the same players and copy reused from one leaf to the next: the leaf
// ends the game, and the values become the promised mixture with the mean worth of the
// play-outs, replayed here from the same random numbers.
TEST_P(RolloutTest, PlaysToTheEndAndMixesTheMeanPayoff) {
  RolloutScratch scratch;
  std::vector<ReferencePlayer> replay_players;
  for (uint32_t seed = 0; seed < 24; ++seed) {
    Game game = Game::reset(7);
    const std::vector<uint32_t> first = game.get_legal_tiles();
    ASSERT_EQ(game.apply(first[seed % first.size()]), std::nullopt);
    const Rollouts rollouts{seed % 2 == 0 ? 1.0f : 0.25f, GetParam(), seed % 3 == 0 ? 3u : 1u,
                            seed % 4 == 1 ? 2.0f : 0.0f};

    Rng replay_rng = seeded_rng(seed);
    Payoff mean{};
    for (std::size_t k = 0; k < rollouts.count; ++k) {
      Game copy = game;
      const std::optional<Payoff> payoff =
          play_out(rollouts.player, copy, replay_rng, replay_players);
      ASSERT_TRUE(payoff.has_value());
      const Payoff worth = final_worth(copy, rollouts.temperature);
      for (std::size_t i = 0; i < mean.size(); ++i) mean[i] += worth[i] / rollouts.count;
    }

    Rng rng = seeded_rng(seed);
    const ValueVector before{0.1f, 0.2f, 0.3f, 0.4f};
    ValueVector values = before;
    mix_rollouts(rollouts, game, rng, scratch, values);
    ASSERT_TRUE(game.is_terminal()) << "seed " << seed;
    for (std::size_t i = 0; i < values.size(); ++i) {
      EXPECT_NEAR(values[i], (1.0f - rollouts.weight) * before[i] + rollouts.weight * mean[i],
                  1e-6f)
          << "seed " << seed;
    }
  }
}

// A finished game's worth: near temperature 0 the payoff, ties shared; above it shares that
// sum to 1 and favour each cell of lead by the factor exp(1 / temperature).
TEST(RolloutWorthTest, SoftensThePayoffByTheFinalScores) {
  std::vector<ReferencePlayer> players;
  for (uint32_t seed = 0; seed < 12; ++seed) {
    Game game = Game::reset(7);
    Rng rng = seeded_rng(seed);
    ASSERT_TRUE(play_out(ReferenceKind::kRandomTiles, game, rng, players).has_value());
    const Payoff payoff = game.get_payoff();
    EXPECT_EQ(final_worth(game, 0.0f), payoff);
    const Payoff sharp = final_worth(game, 0.01f);
    const Payoff soft = final_worth(game, 2.0f);
    const Scores scores = game.board().get_scores(game.last_piece_sizes());
    float total = 0.0f;
    for (uint32_t p = 0; p < kPlayers; ++p) {
      EXPECT_NEAR(sharp[p], payoff[p], 1e-4f) << "seed " << seed;
      total += soft[p];
      EXPECT_NEAR(soft[p] / soft[0], std::exp(float(scores[p] - scores[0]) / 2.0f), 1e-4f)
          << "seed " << seed;
    }
    EXPECT_NEAR(total, 1.0f, 1e-5f) << "seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RolloutTest,
                         testing::Values(ReferenceKind::kRandomTiles, ReferenceKind::kRandomPiece,
                                         ReferenceKind::kLargestPiece, ReferenceKind::kHeuristic));

// With the whole weight on the play-outs the network's values change nothing: two networks
// that disagree on every value search the same tree.
TEST(RolloutSearchTest, FullWeightIgnoresTheNetworkValue) {
  const Game game = Game::reset(7);
  std::vector<std::vector<uint32_t>> visits;
  for (const float favoured : {0.0f, 3.0f}) {
    ScriptedEvaluator evaluator([&](const Game& g, NetworkOutput& out) {
      ScriptedEvaluator::uniform(g, out);
      out.value_logits[std::size_t(favoured)] = 5.0f;
    });
    Rng rng = seeded_rng(5);
    SearchNode root;
    const SearchOptions options{48, false, std::nullopt, {1.0f, ReferenceKind::kLargestPiece, 1}};
    ASSERT_EQ(run_search(evaluator, test_config(7, 0), options, root, game, rng), std::nullopt);
    visits.emplace_back();
    for (const SearchNode& child : root.children) visits.back().push_back(child.visit_count);
  }
  EXPECT_EQ(visits[0], visits[1]);
}

}  // namespace
}  // namespace tavlox::self_play
