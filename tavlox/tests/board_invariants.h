#pragma once

#include <gtest/gtest.h>

#include "board.h"

namespace tavlox::testing {

// Recomputes the cell bytes and the anchor cells of every player from the cell owners alone
// and compares them with the board: a covered cell holds 0xF0 | (owner + 1); an empty cell
// is blocked for p exactly when it shares an edge with a cell of p; the anchors of p are the
// empty cells not blocked for p that are p's uncovered start cell or touch a cell of p
// diagonally.
::testing::AssertionResult board_invariants_hold(const Board& board);

}  // namespace tavlox::testing
