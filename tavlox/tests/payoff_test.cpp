#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "game.h"
#include "game_checks.h"
#include "oracle.h"

namespace tavlox::testing {
namespace {

using ::testing::ElementsAre;

// Large enough that the four players, each heading away from its corner, never meet.
constexpr uint32_t kScriptDim = 64;

using CellPlan = std::array<std::vector<uint32_t>, kPlayers>;

// `total` cells spread over `turns` turns, five a turn while at least one is left for each
// later turn.
std::vector<uint32_t> spread_cells(uint32_t total, uint32_t turns) {
  std::vector<uint32_t> plan;
  for (uint32_t turn = 0; turn < turns; ++turn) {
    const uint32_t later_turns = turns - turn - 1;
    plan.push_back(std::min(kMaxPieceCells, total - later_turns));
    total -= plan.back();
  }
  return plan;
}

uint32_t distance_from_start(uint32_t cell, uint32_t player) {
  const uint32_t start = oracle_start_cell(player, kScriptDim);
  const auto gap = [](uint32_t a, uint32_t b) { return a > b ? a - b : b - a; };
  return gap(cell / kScriptDim, start / kScriptDim) + gap(cell % kScriptDim, start % kScriptDim);
}

// The largest consistent Move reaching farthest from the player's start cell.
const PlacedMove* farthest_largest_move(const Game& game) {
  const PlacedMove* best = nullptr;
  uint32_t best_reach = 0;
  for (const PlacedMove& move : game.tile_moves().moves()) {
    uint32_t reach = 0;
    for (uint32_t i = 0; i < move.size; ++i)
      reach += distance_from_start(move.cells[i], game.player());
    if (best == nullptr || move.size > best->size ||
        (move.size == best->size && reach > best_reach)) {
      best = &move;
      best_reach = reach;
    }
  }
  return best;
}

// Covers `cells` cells of the largest legal placement and ends the turn by declaring a
// piece complete: the second piece of the hand while there are two, so that the
// monomino is the last piece to go. Scores then depend only on the cells placed.
::testing::AssertionResult play_scripted_turn(Game& game, uint32_t cells) {
  const PlacedMove* move = farthest_largest_move(game);
  if (move == nullptr || move->size < cells) {
    return ::testing::AssertionFailure()
           << "player " << game.player() << " has no placement of " << cells << " cells";
  }
  const std::array<uint16_t, kMaxPieceCells> tiles = move->cells;
  const uint32_t piece = game.board().piece_count(game.player()) > 1 ? 1 : 0;
  for (uint32_t i = 0; i < cells; ++i) {
    const std::optional<uint32_t> declared =
        i + 1 == cells ? std::optional<uint32_t>(piece) : std::nullopt;
    if (auto error = game.apply(tiles[i], declared)) return ::testing::AssertionFailure() << *error;
  }
  return ::testing::AssertionSuccess();
}

// Plays rounds in turn order; player p places plan[p][t] cells in its turn t.
::testing::AssertionResult play_plan(Game& game, const CellPlan& plan) {
  size_t turns = 0;
  for (const auto& cells : plan) turns = std::max(turns, cells.size());
  for (size_t t = 0; t < turns; ++t) {
    for (uint32_t p = 0; p < kPlayers; ++p) {
      if (t >= plan[p].size()) continue;
      if (game.player() != p) {
        return ::testing::AssertionFailure()
               << "player " << game.player() << " moves instead of " << p;
      }
      if (auto played = play_scripted_turn(game, plan[p][t]); !played) return played;
    }
  }
  return ::testing::AssertionSuccess();
}

Game scripted_game(const std::array<uint32_t, kPlayers>& cells, uint32_t turns) {
  CellPlan plan;
  for (uint32_t p = 0; p < kPlayers; ++p) plan[p] = spread_cells(cells[p], turns);
  Game game = Game::reset(kScriptDim);
  EXPECT_TRUE(play_plan(game, plan));
  return game;
}

TEST(Payoff, TwoPlayersSharingTheBestScoreSplitIt) {
  const Game game = scripted_game({79, 86, 86, 69}, 18);
  ASSERT_THAT(game.board().get_scores(game.last_piece_sizes()), ElementsAre(-10, -3, -3, -20));
  EXPECT_THAT(game.get_payoff(), ElementsAre(0.0f, 0.5f, 0.5f, 0.0f));
}

TEST(Payoff, ThreeWayTieGetsAThirdInSinglePrecision) {
  const Game game = scripted_game({40, 40, 20, 40}, 10);
  ASSERT_THAT(game.board().get_scores(game.last_piece_sizes()), ElementsAre(-49, -49, -69, -49));
  const float third = 1.0f / 3.0f;
  EXPECT_THAT(game.get_payoff(), ElementsAre(third, third, 0.0f, third));
}

TEST(Payoff, FourEqualScoresGetAQuarterEach) {
  const Game game = scripted_game({50, 50, 50, 50}, 10);
  ASSERT_THAT(game.board().get_scores(game.last_piece_sizes()), ElementsAre(-39, -39, -39, -39));
  EXPECT_THAT(game.get_payoff(), ElementsAre(0.25f, 0.25f, 0.25f, 0.25f));
}

TEST(Payoff, SoleBestScoreWinsAlone) {
  const Game game = scripted_game({30, 25, 31, 30}, 8);
  ASSERT_THAT(game.board().get_scores(game.last_piece_sizes()), ElementsAre(-59, -64, -58, -59));
  EXPECT_THAT(game.get_payoff(), ElementsAre(0.0f, 0.0f, 1.0f, 0.0f));
}

// Player 0 empties its hand, the monomino last, and scores above zero; the others still
// hold a piece and score below zero. The comparison must be signed.
TEST(Payoff, EmptyHandBonusBeatsNegativeScores) {
  CellPlan plan;
  plan[0] = std::vector<uint32_t>(20, 5);
  plan[0].push_back(1);
  for (uint32_t p = 1; p < kPlayers; ++p) plan[p] = spread_cells(86, 20);
  Game game = Game::reset(kScriptDim);
  ASSERT_TRUE(play_plan(game, plan));
  ASSERT_EQ(game.board().piece_count(0), 0u);
  ASSERT_EQ(game.last_piece_sizes()[0], 1u);
  ASSERT_THAT(game.board().get_scores(game.last_piece_sizes()), ElementsAre(101 - 69, -3, -3, -3));
  EXPECT_THAT(game.get_payoff(), ElementsAre(1.0f, 0.0f, 0.0f, 0.0f));
}

}  // namespace
}  // namespace tavlox::testing
