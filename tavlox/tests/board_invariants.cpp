#include "board_invariants.h"

#include <vector>

#include "oracle.h"

namespace tavlox::testing {
namespace {

bool owned_by(const Board& board, int r, int c, uint32_t player) {
  const int dim = int(board.dim());
  return r >= 0 && r < dim && c >= 0 && c < dim && owner_of(board, r * dim + c) == int(player);
}

uint8_t expected_cell_byte(const Board& board, int r, int c) {
  const int owner = owner_of(board, uint32_t(r * int(board.dim()) + c));
  if (owner >= 0) return uint8_t(0xF0 | (owner + 1));
  uint8_t byte = 0;
  for (uint32_t p = 0; p < kPlayers; ++p) {
    const bool edge = owned_by(board, r - 1, c, p) || owned_by(board, r + 1, c, p) ||
                      owned_by(board, r, c - 1, p) || owned_by(board, r, c + 1, p);
    if (edge) byte |= uint8_t(1u << (4 + p));
  }
  return byte;
}

// `byte` is the cell byte recomputed from the neighbourhood.
bool expected_anchor(const Board& board, int r, int c, uint8_t byte, uint32_t player) {
  const uint32_t pos = uint32_t(r * int(board.dim()) + c);
  if ((byte & 0x0F) != 0 || (byte >> (4 + player) & 1)) return false;
  const bool diagonal =
      owned_by(board, r - 1, c - 1, player) || owned_by(board, r - 1, c + 1, player) ||
      owned_by(board, r + 1, c - 1, player) || owned_by(board, r + 1, c + 1, player);
  return diagonal || pos == oracle_start_cell(player, board.dim());
}

}  // namespace

::testing::AssertionResult board_invariants_hold(const Board& board) {
  const int dim = int(board.dim());
  std::vector<std::vector<uint32_t>> anchors(kPlayers);
  for (int r = 0; r < dim; ++r) {
    for (int c = 0; c < dim; ++c) {
      const uint32_t pos = uint32_t(r * dim + c);
      const uint8_t expected = expected_cell_byte(board, r, c);
      if (board.cell(pos) != expected) {
        return ::testing::AssertionFailure()
               << "cell " << pos << " (row " << r << ", column " << c << ") holds byte 0x"
               << std::hex << int(board.cell(pos)) << " but its neighbourhood gives 0x"
               << int(expected);
      }
      for (uint32_t p = 0; p < kPlayers; ++p) {
        const bool anchor = expected_anchor(board, r, c, expected, p);
        if (board.is_corner(p, pos) != anchor) {
          return ::testing::AssertionFailure()
                 << "cell " << pos << " (row " << r << ", column " << c << ") is "
                 << (anchor ? "missing from" : "wrongly in") << " the anchors of player " << p;
        }
        if (anchor) anchors[p].push_back(pos);
      }
    }
  }
  for (uint32_t p = 0; p < kPlayers; ++p) {
    if (board.corners(p) != anchors[p]) {
      return ::testing::AssertionFailure()
             << "the anchor list of player " << p << " disagrees with its per-cell anchor bits";
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tavlox::testing
