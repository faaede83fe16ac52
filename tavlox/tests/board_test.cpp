#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "board.h"
#include "board_invariants.h"
#include "fault.h"

namespace tavlox::testing {
namespace {

using ::testing::ElementsAre;

constexpr uint32_t kMonomino = 0;
constexpr uint32_t kStraightTromino = 3;
constexpr uint32_t kFiveLine = 9;
constexpr uint32_t kLPentomino = 10;

const Orientation& orientation(const Board& board, uint32_t piece_id, uint32_t variant) {
  return board.catalogue().orientations(piece_id)[variant];
}

// Whether any orientation of any piece covering `cell` is valid for `player`.
bool any_valid_placement_covers(const Board& board, uint32_t player, uint32_t cell) {
  for (uint32_t id = 0; id < kPieceCount; ++id) {
    for (const Orientation& o : board.catalogue().orientations(id)) {
      for (uint32_t i = 0; i < o.size; ++i) {
        if (cell >= o.offsets[i] && board.is_valid_move(player, o, cell - o.offsets[i]))
          return true;
      }
    }
  }
  return false;
}

TEST(NewBoard, StartsEmptyWithOneAnchorPerPlayerAtItsCorner) {
  const Board board(20);
  EXPECT_THAT(board.corners(0), ElementsAre(0));
  EXPECT_THAT(board.corners(1), ElementsAre(19));
  EXPECT_THAT(board.corners(2), ElementsAre(399));
  EXPECT_THAT(board.corners(3), ElementsAre(380));
  for (uint32_t pos = 0; pos < board.cell_count(); ++pos) EXPECT_EQ(board.cell(pos), 0) << pos;
  for (uint32_t p = 0; p < kPlayers; ++p) {
    ASSERT_EQ(board.piece_count(p), kPieceCount) << "player " << p;
    for (uint32_t k = 0; k < kPieceCount; ++k) EXPECT_EQ(board.piece_id(p, k), k);
  }
  EXPECT_TRUE(board_invariants_hold(board));
}

TEST(NewBoard, StartCellOfUnknownPlayerFaults) {
  EXPECT_THROW(Board::start_cell(4, 20), Fault);
}

TEST(NewBoard, MonominoIsValidOnlyOnTheOwnStartCell) {
  for (uint32_t dim : {4u, 5u, 20u}) {
    const Board board(dim);
    for (uint32_t p = 0; p < kPlayers; ++p) {
      for (uint32_t pos = 0; pos < board.cell_count(); ++pos) {
        EXPECT_EQ(board.is_valid_move(p, orientation(board, kMonomino, 0), pos),
                  pos == Board::start_cell(p, dim))
            << "player " << p << ", cell " << pos << ", board of " << dim;
      }
    }
  }
}

TEST(PlaceTile, FirstCellBlocksNeighboursAndAnchorsTheDiagonal) {
  Board board(20);
  board.place_tile(0, 0);
  EXPECT_EQ(board.cell(0), 0xF1);
  EXPECT_EQ(board.cell(1), 0x10);
  EXPECT_EQ(board.cell(20), 0x10);
  EXPECT_EQ(board.cell(21), 0x00);
  // Cell 19 is diagonal to 0 only by wrapping around the left edge.
  EXPECT_THAT(board.corners(0), ElementsAre(21));
  EXPECT_THAT(board.corners(1), ElementsAre(19));
  EXPECT_THAT(board.corners(2), ElementsAre(399));
  EXPECT_THAT(board.corners(3), ElementsAre(380));
  EXPECT_TRUE(board_invariants_hold(board));
}

TEST(PlaceTile, RightEdgeCellDoesNotAnchorAcrossTheEdge) {
  Board board(20);
  board.place_tile(19, 1);
  EXPECT_THAT(board.corners(1), ElementsAre(38));
  EXPECT_TRUE(board_invariants_hold(board));
}

TEST(PlaceTile, OwnEdgeContactIsBlockedButOtherColoursAreNot) {
  Board board(20);
  board.place_tile(0, 0);
  EXPECT_FALSE(any_valid_placement_covers(board, 0, 1));
  EXPECT_FALSE(any_valid_placement_covers(board, 0, 20));
  EXPECT_TRUE(board.is_valid_move(0, orientation(board, kMonomino, 0), 21));

  // On a board of 4 the other players reach cells 1 and 4 from their own corners.
  Board small(4);
  small.place_tile(0, 0);
  EXPECT_TRUE(small.is_valid_move(1, orientation(small, kStraightTromino, 0), 1))
      << "player 1 may cover cells 1-3 next to player 0";
  EXPECT_TRUE(small.is_valid_move(3, orientation(small, kStraightTromino, 1), 4))
      << "player 3 may cover cells 4, 8, 12 next to player 0";
  EXPECT_FALSE(small.is_valid_move(3, orientation(small, kStraightTromino, 1), 0))
      << "a covered cell is blocked for everybody";
}

TEST(PlaceTile, OtherPlayersLoseOnlyTheCoveredAnchor) {
  Board board(20);
  board.place_tile(0, 0);
  board.place_tile(22, 1);
  EXPECT_THAT(board.corners(0), ElementsAre(21)) << "edge contact with another colour is allowed";
  board.place_tile(21, 2);
  EXPECT_TRUE(board.corners(0).empty());
  EXPECT_TRUE(board_invariants_hold(board));
}

TEST(PlaceTile, CellOrderOfOnePieceDoesNotMatter) {
  const Board fresh(20);
  const Orientation& l = orientation(fresh, kLPentomino, 0);
  std::vector<uint32_t> cells;
  for (uint32_t i = 0; i < l.size; ++i) cells.push_back(l.offsets[i]);
  Board reference = fresh;
  for (uint32_t cell : cells) reference.place_tile(cell, 0);
  ASSERT_TRUE(board_invariants_hold(reference));
  do {
    Board board = fresh;
    for (uint32_t cell : cells) board.place_tile(cell, 0);
    for (uint32_t pos = 0; pos < board.cell_count(); ++pos) {
      ASSERT_EQ(board.cell(pos), reference.cell(pos)) << "cell " << pos;
    }
    ASSERT_EQ(board.corners(0), reference.corners(0));
  } while (std::next_permutation(cells.begin(), cells.end()));
}

TEST(PlaceTile, OutOfRangeCellOrPlayerFaults) {
  Board board(20);
  EXPECT_THROW(board.place_tile(400, 0), Fault);
  EXPECT_THROW(board.place_tile(0, 4), Fault);
  EXPECT_THROW(board.remove_piece(0, kPieceCount), Fault);
}

TEST(IsValidMove, FiveCellLineMeetsTheRightAndBottomEdges) {
  const Board board(20);
  const Orientation& horizontal = orientation(board, kFiveLine, 0);
  const Orientation& vertical = orientation(board, kFiveLine, 1);
  EXPECT_TRUE(board.is_valid_move(1, horizontal, 15)) << "columns 15-19 of row 0";
  EXPECT_FALSE(board.is_valid_move(1, horizontal, 16))
      << "from column 16 the line would wrap onto row 1 although it covers anchor 19";
  EXPECT_TRUE(board.is_valid_move(2, vertical, 319)) << "rows 15-19 of column 19";
  EXPECT_FALSE(board.is_valid_move(2, vertical, 339)) << "rows 16-20 leave the board";
  EXPECT_TRUE(board.is_valid_move(3, vertical, 300)) << "rows 15-19 of column 0";
  EXPECT_FALSE(board.is_valid_move(3, vertical, 320)) << "rows 16-20 leave the board";
}

TEST(IsValidMove, PositionsOffTheBoardAreInvalidWithoutFault) {
  const Board board(20);
  for (uint32_t pos : {400u, 401u, 100000u, UINT32_MAX}) {
    for (uint32_t id = 0; id < kPieceCount; ++id) {
      for (const Orientation& o : board.catalogue().orientations(id)) {
        EXPECT_FALSE(board.is_valid_move(0, o, pos)) << "piece " << id << " at " << pos;
      }
    }
  }
}

TEST(IsValidMove, UnknownPlayerFaultsAtTheAnchorTest) {
  const Board board(20);
  EXPECT_THROW(board.is_valid_move(4, orientation(board, kMonomino, 0), 0), Fault);
}

TEST(Scores, CountPlacedCellsAndBonusForAnEmptyHand) {
  Board board(20);
  EXPECT_THAT(board.get_scores({}), ElementsAre(-89, -89, -89, -89));
  for (uint32_t pos : {0u, 2u, 4u}) board.place_tile(pos, 1);
  board.place_tile(399, 2);
  for (uint32_t k = 0; k < kPieceCount; ++k) {
    board.remove_piece(1, 0);
    board.remove_piece(2, 0);
  }
  EXPECT_THAT(board.get_scores({0, 5, 1, 0}), ElementsAre(-89, 3 - 74, 1 - 69, -89));
  EXPECT_THAT(board.get_scores({0, 1, 2, 0}), ElementsAre(-89, 3 - 69, 1 - 74, -89));
}

// One cell of each player on a board of 5: player p covers cell 5 * p + p.
Board board_with_one_cell_each() {
  Board board(5);
  for (uint32_t p = 0; p < kPlayers; ++p) board.place_tile(6 * p, p);
  return board;
}

TEST(GetRep, PlanesAreRelabelledForTheViewingPlayer) {
  const Board board = board_with_one_cell_each();
  const uint32_t n = board.cell_count();
  for (bool channels_last : {false, true}) {
    for (uint32_t viewer = 0; viewer < kPlayers; ++viewer) {
      const std::vector<uint8_t> rep = board.get_rep(channels_last, viewer);
      ASSERT_EQ(rep.size(), kPlayers * n);
      for (uint32_t pos = 0; pos < n; ++pos) {
        for (uint32_t plane = 0; plane < kPlayers; ++plane) {
          const bool owned = pos % 6 == 0 && pos / 6 == (viewer + plane) % kPlayers;
          const size_t index = channels_last ? pos * kPlayers + plane : plane * n + pos;
          EXPECT_EQ(rep[index], owned) << "viewer " << viewer << ", plane " << plane << ", cell "
                                       << pos << (channels_last ? ", channels last" : "");
        }
      }
    }
  }
  // The player-2 view: its own cell (12) first, then players 3, 0 and 1.
  const std::vector<uint8_t> rep = board.get_rep(false, 2);
  EXPECT_EQ(rep[0 * n + 12], 1);
  EXPECT_EQ(rep[1 * n + 18], 1);
  EXPECT_EQ(rep[2 * n + 0], 1);
  EXPECT_EQ(rep[3 * n + 6], 1);
  EXPECT_THROW(board.get_rep(false, 4), Fault);
}

TEST(Render, EmptyBoardIsRowsOfWhiteSquaresAndAnEmptyLine) {
  EXPECT_EQ(Board(4).render(),
            "⬜⬜⬜⬜\n"
            "⬜⬜⬜⬜\n"
            "⬜⬜⬜⬜\n"
            "⬜⬜⬜⬜\n"
            "\n");
  const std::string row20 = [] {
    std::string row;
    for (int c = 0; c < 20; ++c) row += "⬜";
    return row + "\n";
  }();
  std::string expected;
  for (int r = 0; r < 20; ++r) expected += row20;
  EXPECT_EQ(Board(20).render(), expected + "\n");
}

TEST(Render, ColoursFollowTheOwners) {
  EXPECT_EQ(board_with_one_cell_each().render(),
            "🟥⬜⬜⬜⬜\n"
            "⬜🟦⬜⬜⬜\n"
            "⬜⬜🟨⬜⬜\n"
            "⬜⬜⬜🟩⬜\n"
            "⬜⬜⬜⬜⬜\n"
            "\n");
}

TEST(Render, PrintBoardWritesTheRenderedText) {
  const Board board = board_with_one_cell_each();
  ::testing::internal::CaptureStdout();
  board.print_board();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), board.render());
}

TEST(BoardCopies, AreIndependent) {
  Board original(20);
  Board copy = original;
  copy.place_tile(0, 0);
  copy.remove_piece(0, 0);
  EXPECT_EQ(original.cell(0), 0);
  EXPECT_THAT(original.corners(0), ElementsAre(0));
  EXPECT_EQ(original.piece_count(0), kPieceCount);
}

}  // namespace
}  // namespace tavlox::testing
