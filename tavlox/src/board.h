#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "pieces.h"

namespace tavlox {

using Scores = std::array<int32_t, kPlayers>;
using PieceSizes = std::array<uint32_t, kPlayers>;

// Cell byte: the low nibble is the owner (0 empty, p + 1 for player p); bit 4 + p blocks
// player p from covering the cell.
constexpr uint8_t kOwnerMask = 0x0F;
constexpr uint8_t kAllBlocked = 0xF0;
constexpr uint8_t blocked_bit(uint32_t player) {
  return static_cast<uint8_t>(1u << (4 + player));
}

// The playing area, the pieces each player still holds and each player's anchor cells.
// A plain value: copies are independent.
class Board {
 public:
  explicit Board(uint32_t dim);

  // Whether `player` may place `variant` with its bounding box's top-left cell at `pos`.
  bool is_valid_move(uint32_t player, const Orientation& variant, uint32_t pos) const;
  // Covers one cell and updates blocked bits and anchors. No legality test of its own.
  void place_tile(uint32_t pos, uint32_t player);

  Scores get_scores(const PieceSizes& last_piece_sizes) const;
  // Occupancy planes relative to `player`: plane (owner - player) mod 4. Writes 4 * dim * dim
  // bytes (0 or 1), indexed [plane][row][col], or [row][col][plane] when channels_last, with
  // `stride` planes per cell in the channels-last layout so that callers can append planes.
  void write_rep(bool channels_last, uint32_t player, uint8_t* out, uint32_t stride = 4) const;
  std::vector<uint8_t> get_rep(bool channels_last, uint32_t player) const;

  // The board as coloured squares, one line per row, followed by an empty line.
  std::string render() const;
  void print_board() const;

  uint32_t dim() const { return dim_; }
  uint32_t cell_count() const { return dim_ * dim_; }
  uint8_t cell(uint32_t pos) const { return cells_[pos]; }
  bool is_corner(uint32_t player, uint32_t pos) const { return corner_bits_[pos] >> player & 1; }
  // The anchor cells of `player`, ascending.
  std::vector<uint32_t> corners(uint32_t player) const;
  template <typename Visit>
  void for_each_corner(uint32_t player, Visit&& visit) const;

  const Catalogue& catalogue() const { return *catalogue_; }
  // Remaining pieces of a player as catalogue indices, in catalogue order.
  uint32_t piece_count(uint32_t player) const { return piece_counts_[player]; }
  uint32_t piece_id(uint32_t player, uint32_t index) const { return pieces_[player][index]; }
  // Removes entry `index` of the player's remaining pieces; later entries move down.
  void remove_piece(uint32_t player, uint32_t index);

  static uint32_t start_cell(uint32_t player, uint32_t dim);

 private:
  void set_corner(uint32_t player, uint32_t pos) { corner_bits_[pos] |= uint8_t(1u << player); }
  void clear_corner(uint32_t player, uint32_t pos) {
    corner_bits_[pos] &= uint8_t(~(1u << player));
  }

  const Catalogue* catalogue_;
  uint32_t dim_;
  std::array<std::array<uint8_t, kPieceCount>, kPlayers> pieces_;
  std::array<uint8_t, kPlayers> piece_counts_;
  std::array<int32_t, 4> diagonals_;
  std::vector<uint8_t> cells_;
  // Bit p set when the cell is an anchor of player p.
  std::vector<uint8_t> corner_bits_;
};

template <typename Visit>
void Board::for_each_corner(uint32_t player, Visit&& visit) const {
  const uint8_t bit = uint8_t(1u << player);
  const uint32_t n = cell_count();
  const uint8_t* bits = corner_bits_.data();
  uint32_t pos = 0;
  // Skip eight empty cells at a time: anchors are sparse.
  for (; pos + 8 <= n; pos += 8) {
    uint64_t word;
    __builtin_memcpy(&word, bits + pos, 8);
    if ((word & (0x0101010101010101ull * bit)) == 0) continue;
    for (uint32_t i = pos; i < pos + 8; ++i) {
      if (bits[i] & bit) visit(i);
    }
  }
  for (; pos < n; ++pos) {
    if (bits[pos] & bit) visit(pos);
  }
}

}  // namespace tavlox
