#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <map>

#include "batched_engine.h"
#include "fault.h"
#include "scripted_evaluator.h"

namespace tavlox::self_play {
namespace {

using test_support::CapturingOutput;
using test_support::ScriptedEvaluator;

// A deterministic stand-in network: logits are a fixed function of the encoded planes, so
// the one-game driver and the batched engine see the same answer for the same position.
void position_logits(const uint8_t* planes, uint32_t dim, float* policy, float* values) {
  const std::size_t cells = std::size_t(dim) * dim;
  for (std::size_t cell = 0; cell < cells; ++cell) {
    float sum = 0.0f;
    for (uint32_t plane = 0; plane < kStatePlanes; ++plane) {
      sum += float(planes[plane * cells + cell]) * float(plane + 1);
    }
    policy[cell] = std::sin(float(cell) * 0.7f + sum);
  }
  for (uint32_t p = 0; p < kPlayers; ++p) values[p] = std::cos(float(p) + policy[p % cells]);
}

void scripted_logits(const Game& game, NetworkOutput& out) {
  const std::vector<uint8_t> planes = game.get_game_state(false);
  out.policy_logits.resize(std::size_t(game.dim()) * game.dim());
  out.value_logits.resize(kPlayers);
  position_logits(planes.data(), game.dim(), out.policy_logits.data(), out.value_logits.data());
}

// Answers every batch with `position_logits` (or `answer`) until the run ends.
template <typename Answer>
std::size_t serve(BatchedEngine& engine, Answer&& answer, std::size_t max_batches) {
  std::size_t batches = 0;
  BatchedEngine::Batch batch;
  while (batches < max_batches) {
    const auto outcome = engine.wait_batch(std::chrono::milliseconds(1000), batch);
    if (outcome == BatchedEngine::Wait::kDone) break;
    if (outcome == BatchedEngine::Wait::kTimeout) continue;
    BatchSlot& slot = engine.slot(batch.network, batch.slot);
    const std::size_t cells = std::size_t(engine.dim()) * engine.dim();
    for (std::size_t row = 0; row < batch.rows; ++row) {
      answer(slot.planes.data() + row * kStatePlanes * cells, engine.dim(),
             slot.policy_logits.data() + row * cells, slot.value_logits.data() + row * kPlayers);
    }
    engine.submit(batch);
    ++batches;
  }
  return batches;
}

std::size_t serve(BatchedEngine& engine, std::size_t max_batches = 1u << 30) {
  return serve(engine, position_logits, max_batches);
}

EngineOptions options(JobKind kind, std::size_t games, std::size_t in_flight, std::size_t threads) {
  EngineOptions options;
  options.config = test_support::test_config(7, 6, 4);
  options.kind = kind;
  options.games = games;
  options.games_in_flight = in_flight;
  options.search_threads = threads;
  options.batch_size = (in_flight + 1) / 2;
  options.seed = 42;
  return options;
}

std::map<uint64_t, FinishedGame> run_all(const EngineOptions& options) {
  BatchedEngine engine(options);
  serve(engine);
  EXPECT_FALSE(engine.fault().has_value()) << *engine.fault();
  std::map<uint64_t, FinishedGame> games;
  for (FinishedGame& game : engine.take_finished()) games.emplace(game.index, std::move(game));
  return games;
}

struct Layout {
  std::size_t in_flight;
  std::size_t threads;
};

class BatchedEquivalenceTest : public testing::TestWithParam<Layout> {};

// Every game equals the one the one-game driver plays with the same seed and network,
// however many games share the threads and batches.
TEST_P(BatchedEquivalenceTest, GamesEqualTheOneGameDrivers) {
  const Layout layout = GetParam();
  for (JobKind kind : {JobKind::kTraining, JobKind::kAgainstRandom, JobKind::kAgainstBaseline}) {
    const std::size_t count = kind == JobKind::kAgainstBaseline ? 2 : 6;
    const EngineOptions opts = options(kind, count, layout.in_flight, layout.threads);
    const auto games = run_all(opts);
    ASSERT_EQ(games.size(), count);
    for (const auto& [index, game] : games) {
      ASSERT_TRUE(game.error.empty()) << game.error;
      ScriptedEvaluator model(scripted_logits), baseline(scripted_logits);
      CapturingOutput text;
      Rng rng = Rng::seeded(opts.seed, index);
      if (kind == JobKind::kTraining) {
        auto expected = std::get<TrainingRecord>(training_game(model, opts.config, rng));
        EXPECT_EQ(game.record.moves, expected.moves) << "game " << index;
        EXPECT_EQ(game.record.policies, expected.policies) << "game " << index;
        EXPECT_EQ(game.record.payoffs, expected.payoffs) << "game " << index;
      } else if (kind == JobKind::kAgainstRandom) {
        EXPECT_EQ(game.payoff, std::get<float>(test_against_random(model, opts.config, rng, text)));
      } else {
        EXPECT_EQ(game.payoff, std::get<float>(test_game(model, baseline, rng, text)));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, BatchedEquivalenceTest,
                         testing::Values(Layout{1, 1}, Layout{5, 2}, Layout{12, 3}));

// With other search and match settings every game still equals the one-game driver's,
// head-to-head matches included.
TEST(BatchedEquivalenceTest, SettingsReachTheDrivers) {
  EngineOptions opts = options(JobKind::kTraining, 5, 3, 2);
  opts.search.root = RootKind::kGumbel;
  opts.search.gumbel_actions = 4;
  opts.search.fpu_reduction = 0.2f;
  opts.search.full_search_probability = 0.5f;
  opts.search.fast_simulations = 2;
  opts.match.simulations = 4;
  opts.match.opening = OpeningKind::kRandom;
  opts.match.random_tiles = 3;
  const MatchPlay play{opts.config, opts.search, opts.match};
  for (JobKind kind : {JobKind::kTraining, JobKind::kAgainstRandom, JobKind::kHeadToHead}) {
    opts.kind = kind;
    const auto games = run_all(opts);
    ASSERT_EQ(games.size(), 5u);
    for (const auto& [index, game] : games) {
      ASSERT_TRUE(game.error.empty()) << game.error;
      ScriptedEvaluator model(scripted_logits), other(scripted_logits);
      CapturingOutput text;
      Rng rng = Rng::seeded(opts.seed, index);
      if (kind == JobKind::kTraining) {
        auto expected =
            std::get<TrainingRecord>(training_game(model, opts.config, opts.search, rng));
        EXPECT_EQ(game.record.moves, expected.moves) << "game " << index;
        EXPECT_EQ(game.record.policies, expected.policies) << "game " << index;
      } else if (kind == JobKind::kAgainstRandom) {
        EXPECT_EQ(game.payoff,
                  std::get<float>(against_reference_game(model, play, index, rng, text)));
      } else {
        EXPECT_EQ(game.payoff,
                  std::get<float>(head_to_head_game(model, other, play, index, rng, text)));
      }
    }
  }
}

TEST(BatchedEngineTest, StopWithGamesInFlightKeepsFinishedGamesAndEndsEveryThread) {
  BatchedEngine engine(options(JobKind::kTraining, 50, 8, 2));
  serve(engine, 200);
  engine.stop();
  BatchedEngine::Batch batch;
  EXPECT_EQ(engine.wait_batch(std::chrono::milliseconds(0), batch), BatchedEngine::Wait::kDone);
  const auto finished = engine.take_finished();
  EXPECT_LT(finished.size(), 50u);
  for (const FinishedGame& game : finished) {
    EXPECT_TRUE(game.error.empty()) << "an abandoned game was reported: " << game.error;
  }
}

TEST(BatchedEngineTest, DestroyedWhileTheCallerHoldsABatch) {
  BatchedEngine engine(options(JobKind::kTraining, 10, 4, 2));
  BatchedEngine::Batch batch;
  while (engine.wait_batch(std::chrono::milliseconds(1000), batch) != BatchedEngine::Wait::kBatch) {
  }
}

TEST(BatchedEngineTest, AFaultInOneGameEndsTheRunWithItsMessage) {
  BatchedEngine engine(options(JobKind::kTraining, 20, 4, 2));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  serve(
      engine,
      [&](const uint8_t*, uint32_t dim, float* policy, float* values) {
        std::fill(policy, policy + std::size_t(dim) * dim, nan);
        std::fill(values, values + kPlayers, 0.0f);
      },
      1000);
  ASSERT_TRUE(engine.fault().has_value());
  EXPECT_NE(engine.fault()->find("visit_dist"), std::string::npos) << *engine.fault();
}

TEST(BatchedEngineTest, InvalidOptionsAreRefused) {
  EngineOptions bad = options(JobKind::kTraining, 1, 1, 1);
  bad.slots = 1;
  EXPECT_THROW(BatchedEngine{bad}, tavlox::Fault);
  bad = options(JobKind::kTraining, 1, 0, 1);
  EXPECT_THROW(BatchedEngine{bad}, tavlox::Fault);
  bad = options(JobKind::kTraining, 1, 1, 1);
  bad.search.full_search_probability = 0.0f;
  EXPECT_THROW(BatchedEngine{bad}, tavlox::Fault);
  bad = options(JobKind::kHeadToHead, 1, 1, 1);
  bad.match.opening = OpeningKind::kRandom;
  EXPECT_THROW(BatchedEngine{bad}, tavlox::Fault);
}

}  // namespace
}  // namespace tavlox::self_play
