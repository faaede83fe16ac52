#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "board.h"
#include "game.h"

namespace tavlox::testing {

// A legal placement as the oracle sees it: the same (piece, variant, position) triple as a
// Move, with its cells ascending.
struct OracleMove {
  uint32_t piece;
  uint32_t variant;
  uint32_t position;
  std::vector<uint32_t> cells;

  friend bool operator==(const OracleMove&, const OracleMove&) = default;
  friend auto operator<=>(const OracleMove&, const OracleMove&) = default;
};

// Owner of a cell from its byte alone: -1 when empty, else the player.
int owner_of(const Board& board, uint32_t pos);

// The start cell of `player` from the board corners, by row and column.
uint32_t oracle_start_cell(uint32_t player, uint32_t dim);

// Every legal placement of the pieces `piece_ids` (catalogue ids, in the player's list
// order) by `player`, found by trying every orientation shape at every board position and
// judging it from cell owners only: all cells on the board and empty, no edge shared with
// the player's own cells, and the start cell covered (no own cell yet) or an own cell
// touched at a corner. Sorted.
std::vector<OracleMove> oracle_legal_moves(const Board& board, uint32_t player,
                                           std::span<const uint32_t> piece_ids);

// Final scores from cell owners, the number of pieces each player still holds and the size
// of each player's last piece.
Scores oracle_scores(const Board& board, const std::array<uint32_t, kPlayers>& pieces_left,
                     const PieceSizes& last_piece_sizes);

// Shares of 1 among the players with the best score.
Payoff oracle_payoff(const Scores& scores);

}  // namespace tavlox::testing
