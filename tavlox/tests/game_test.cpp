#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "board_invariants.h"
#include "fault.h"
#include "game.h"
#include "game_checks.h"

namespace tavlox::testing {
namespace {

using ::testing::ElementsAre;

TEST(NewGame, PlayerZeroMovesNearItsCorner) {
  const Game game = Game::reset(20);
  EXPECT_EQ(game.player(), 0u);
  EXPECT_FALSE(game.is_terminal());
  EXPECT_TRUE(game.history().empty());
  EXPECT_THAT(game.last_piece_sizes(), ElementsAre(0, 0, 0, 0));
  const std::vector<uint32_t> legal = sorted_legal_tiles(game);
  ASSERT_FALSE(legal.empty());
  EXPECT_EQ(legal.front(), 0u);
  for (uint32_t tile : legal) EXPECT_TRUE(tile / 20 < 5 && tile % 20 < 5) << "tile " << tile;
  EXPECT_TRUE(state_encoding_matches(game, false, legal));
  EXPECT_TRUE(state_encoding_matches(game, true, legal));
}

TEST(NewGame, MonominoCannotOpenBecauseLargerPiecesCoverTheCorner) {
  Game game = Game::reset(20);
  ASSERT_TRUE(play_tiles(game, {0}));
  EXPECT_EQ(game.player(), 0u);
  EXPECT_EQ(game.board().piece_count(0), kPieceCount);
}

TEST(Turn, FourTilesInARowLeaveTheLineAndItsSideCellsLegal) {
  Game game = Game::reset(20);
  ASSERT_TRUE(play_tiles(game, {0, 1, 2, 3}));
  EXPECT_THAT(sorted_legal_tiles(game), ElementsAre(4, 20, 21, 22, 23));
  EXPECT_EQ(game.player(), 0u) << "the straight tetromino cannot end the turn here";
  EXPECT_EQ(game.board().piece_count(0), kPieceCount);
}

TEST(Turn, FifthTileCompletesTheFiveCellLineAndPassesTheTurn) {
  Game game = Game::reset(20);
  ASSERT_TRUE(play_tiles(game, {0, 1, 2, 3, 4}));
  EXPECT_EQ(game.player(), 1u);
  EXPECT_EQ(game.board().piece_count(0), kPieceCount - 1);
  const std::vector<uint32_t> hand = remaining_piece_ids(game.board(), 0);
  EXPECT_EQ(std::count(hand.begin(), hand.end(), 9u), 0) << "the five-cell line left the hand";
  EXPECT_THAT(game.last_piece_sizes(), ElementsAre(5, 0, 0, 0));
  EXPECT_THAT(game.history(),
              ElementsAre(HistoryEntry{0, 0}, HistoryEntry{0, 1}, HistoryEntry{0, 2},
                          HistoryEntry{0, 3}, HistoryEntry{0, 4}));
  const std::vector<uint32_t> legal = sorted_legal_tiles(game);
  for (uint32_t tile : legal) EXPECT_TRUE(tile / 20 < 5 && tile % 20 >= 15) << "tile " << tile;
}

TEST(Turn, ChosenTileShowsAsOwnAndIsNoLongerLegal) {
  Game game = Game::reset(20);
  ASSERT_TRUE(play_tiles(game, {0, 1, 2, 3, 4, 19}));
  EXPECT_EQ(game.player(), 1u);
  const std::vector<uint32_t> legal = sorted_legal_tiles(game);
  EXPECT_FALSE(std::binary_search(legal.begin(), legal.end(), 19u));
  EXPECT_TRUE(state_encoding_matches(game, false, legal));
  EXPECT_TRUE(state_encoding_matches(game, true, legal));
  const std::vector<uint8_t> state = game.get_game_state(false);
  EXPECT_EQ(state[19], 1) << "player 1's chosen tile is in plane 0";
  EXPECT_EQ(state[3 * 400 + 0], 1) << "player 0's cells are in plane 3 for player 1";
}

TEST(Turn, GivenPieceEndsTheTurnAtOnce) {
  Game game = Game::reset(20);
  ASSERT_FALSE(game.apply(0, 0u).has_value());
  EXPECT_EQ(game.player(), 1u);
  EXPECT_EQ(game.board().piece_count(0), kPieceCount - 1);
  EXPECT_THAT(game.last_piece_sizes(), ElementsAre(1, 0, 0, 0));
  EXPECT_TRUE(board_invariants_hold(game.board()));
}

TEST(Turn, GivenPieceIndexOutOfRangeFaults) {
  Game game = Game::reset(20);
  EXPECT_THROW(game.apply(0, kPieceCount), Fault);
}

TEST(InvalidTile, IsRefusedWithTheMessageAndChangesNothing) {
  Game game = Game::reset(20);
  ASSERT_TRUE(play_tiles(game, {0, 1}));
  const Game before = game;
  for (uint32_t tile : {0u, 1u, 5u, 62u, 100u, 399u, 400u, 1000000u}) {
    EXPECT_EQ(game.apply(tile), "Invalid move - Player 0, Tile " + std::to_string(tile));
    EXPECT_TRUE(same_game(game, before)) << "after tile " << tile;
  }
}

TEST(GameCopies, EvolveIndependently) {
  Game original = Game::reset(20);
  ASSERT_TRUE(play_tiles(original, {0, 1, 2, 3, 4, 19, 18}));
  const Game snapshot = original;
  Game copy = original;
  ASSERT_TRUE(play_tiles(copy, {17, 16, 15}));
  EXPECT_EQ(copy.player(), 2u);
  EXPECT_TRUE(same_game(original, snapshot));
  ASSERT_TRUE(play_tiles(original, {38}));
  EXPECT_TRUE(same_game(copy, [&] {
    Game replay = snapshot;
    EXPECT_TRUE(play_tiles(replay, {17, 16, 15}));
    return replay;
  }()));
}

// A board of 5 played to the end, always with the smallest legal tile.
TEST(GameEnd, TerminalGameHasNoLegalTilesAndRefusesEveryTile) {
  Game game = Game::reset(5);
  size_t tiles = 0;
  while (!game.is_terminal()) {
    const std::vector<uint32_t> legal = sorted_legal_tiles(game);
    ASSERT_FALSE(legal.empty()) << "a game that is not over offers a tile";
    ASSERT_FALSE(game.apply(legal.front()).has_value());
    ASSERT_LT(++tiles, 4u * kCatalogueCells) << "the game does not end";
  }
  EXPECT_TRUE(game.get_legal_tiles().empty());
  EXPECT_TRUE(game.tile_moves().moves().empty());
  EXPECT_EQ(game.history().size(), tiles);
  for (uint32_t p = 0; p < kPlayers; ++p) EXPECT_TRUE(game.finished(p));
  const Game before = game;
  EXPECT_EQ(game.apply(0), "Invalid move - Player " + std::to_string(game.player()) + ", Tile 0");
  EXPECT_TRUE(same_game(game, before));
  EXPECT_EQ(game.advance_player(), before.player());
  EXPECT_TRUE(same_game(game, before));
}

}  // namespace
}  // namespace tavlox::testing
