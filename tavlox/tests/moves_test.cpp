#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "fault.h"
#include "game_checks.h"
#include "moves.h"
#include "oracle.h"

namespace tavlox::testing {
namespace {

using ::testing::ElementsAre;

std::vector<OracleMove> oracle_for(const Board& board, uint32_t player) {
  return oracle_legal_moves(board, player, remaining_piece_ids(board, player));
}

TEST(TileMoves, OpeningMovesAllStartOnTheCorner) {
  const Board board(20);
  const std::vector<OracleMove> moves = listed_moves(get_tile_moves(board, 0));
  // One Move per orientation whose top-left bounding-box cell is covered.
  std::vector<OracleMove> expected;
  for (uint32_t id = 0; id < kPieceCount; ++id) {
    const Piece& piece = board.catalogue().piece(id);
    for (uint32_t v = 0; v < piece.variants.size(); ++v) {
      if (piece.variants[v].shape[0][0]) {
        expected.push_back({id, v, 0, {}});
        for (uint32_t o : piece.variants[v].offsets) expected.back().cells.push_back(o);
      }
    }
  }
  EXPECT_EQ(moves, expected);
  EXPECT_TRUE(std::none_of(moves.begin(), moves.end(), [](const OracleMove& m) {
    return m.piece == 18;
  })) << "the X pentomino cannot cover its top-left bounding-box cell";
  for (const OracleMove& m : moves) {
    for (uint32_t cell : m.cells) EXPECT_TRUE(cell / 20 < 5 && cell % 20 < 5) << "cell " << cell;
  }
}

TEST(TileMoves, OpeningOfEveryPlayerMatchesTheOracle) {
  for (uint32_t dim : {4u, 5u, 6u, 20u}) {
    const Board board(dim);
    for (uint32_t p = 0; p < kPlayers; ++p) {
      EXPECT_EQ(listed_moves(get_tile_moves(board, p)), oracle_for(board, p))
          << "player " << p << ", board of " << dim;
    }
  }
}

TEST(TileMoves, OpeningAtTheTopRightNeverWrapsToTheLeftEdge) {
  const Board board(20);
  const std::vector<OracleMove> moves = listed_moves(get_tile_moves(board, 1));
  ASSERT_FALSE(moves.empty());
  for (const OracleMove& m : moves) {
    for (uint32_t cell : m.cells) {
      EXPECT_TRUE(cell / 20 < 5 && cell % 20 >= 15)
          << "piece " << m.piece << " variant " << m.variant << " covers cell " << cell;
    }
  }
}

TEST(TileMoves, MonominoCoversOnlyItsAnchor) {
  Board board(20);
  board.place_tile(0, 0);
  const std::vector<OracleMove> moves = listed_moves(get_tile_moves(board, 0));
  const auto monomino =
      std::find_if(moves.begin(), moves.end(), [](const OracleMove& m) { return m.piece == 0; });
  ASSERT_NE(monomino, moves.end());
  EXPECT_EQ(monomino->variant, 0u);
  EXPECT_EQ(monomino->position, 21u);
  EXPECT_THAT(monomino->cells, ElementsAre(21));
  EXPECT_EQ(
      std::count_if(moves.begin(), moves.end(), [](const OracleMove& m) { return m.piece == 0; }),
      1);
}

TEST(TileMoves, PlacementTouchingTwoAnchorsIsListedOnce) {
  Board board(20);
  board.place_tile(0, 0);
  board.place_tile(3, 0);  // Anchors 21, 22 and 24.
  ASSERT_THAT(board.corners(0), ElementsAre(21, 22, 24));
  const std::vector<OracleMove> moves = listed_moves(get_tile_moves(board, 0));
  const OracleMove domino{1, 0, 21, {21, 22}};
  EXPECT_EQ(std::count(moves.begin(), moves.end(), domino), 1);
  EXPECT_EQ(std::set<OracleMove>(moves.begin(), moves.end()).size(), moves.size())
      << "a Move is listed more than once";
  EXPECT_EQ(moves, oracle_for(board, 0));
}

TEST(TileMoves, NoPiecesOrNoAnchorsGiveNoMoves) {
  Board board(20);
  for (uint32_t k = 0; k < kPieceCount; ++k) board.remove_piece(0, 0);
  EXPECT_TRUE(get_tile_moves(board, 0).moves().empty());
  board.place_tile(19, 2);  // Covers player 1's start cell.
  ASSERT_TRUE(board.corners(1).empty());
  EXPECT_TRUE(get_tile_moves(board, 1).moves().empty());
  EXPECT_FALSE(get_tile_moves(board, 2).moves().empty());
}

TEST(TileMoves, RepeatedCallsAgree) {
  Board board(7);
  board.place_tile(0, 0);
  board.place_tile(8, 0);
  EXPECT_EQ(listed_moves(get_tile_moves(board, 0)), listed_moves(get_tile_moves(board, 0)));
  TurnMoves reused = get_tile_moves(board, 1);
  get_tile_moves(board, 0, reused);
  EXPECT_EQ(listed_moves(reused), oracle_for(board, 0))
      << "an output list is refilled, not appended";
}

TEST(TileMoves, UnknownPlayerFaults) {
  const Board board(20);
  EXPECT_THROW(get_tile_moves(board, 4), Fault);
}

}  // namespace
}  // namespace tavlox::testing
