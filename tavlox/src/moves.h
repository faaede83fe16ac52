#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "board.h"

namespace tavlox {

// One legal placement: `piece` indexes the player's remaining pieces at the start of the
// turn, `variant` that piece's orientations, `position` the tile of the bounding box's
// top-left cell.
struct Move {
  uint32_t piece;
  uint32_t variant;
  uint32_t position;

  friend bool operator==(const Move&, const Move&) = default;
  friend auto operator<=>(const Move&, const Move&) = default;
};

// A Move with its cells, ascending, stored compactly for copying.
struct PlacedMove {
  uint16_t position;
  uint8_t piece;
  uint8_t variant;
  uint8_t size;
  std::array<uint16_t, kMaxPieceCells> cells;

  Move move() const { return {piece, variant, position}; }
  bool covers(uint32_t tile) const {
    for (uint32_t i = 0; i < size; ++i) {
      if (cells[i] == tile) return true;
    }
    return false;
  }
};

// The legal Moves of the player to move that are consistent with the tiles chosen so far in
// this turn. The legal tiles are the cells of these Moves other than the chosen ones; this
// is the tile-move map kept as a flat list, narrowed in place as tiles are chosen.
class TurnMoves {
 public:
  const std::vector<PlacedMove>& moves() const { return moves_; }
  uint32_t chosen_count() const { return chosen_count_; }
  bool is_chosen(uint32_t tile) const;

  // Whether `tile` is a legal tile: not chosen yet and covered by a consistent Move.
  bool has_tile(uint32_t tile) const;
  // No legal tile left: every consistent Move covers exactly the chosen tiles.
  bool no_tiles() const;
  // Keeps the Moves covering `tile` and records it as chosen; `tile` must be a legal tile.
  void choose(uint32_t tile);
  // The legal tiles, ascending, into `out` (cleared first).
  void tiles(uint32_t cell_count, std::vector<uint32_t>& out) const;

  void clear();
  void add(const PlacedMove& move) { moves_.push_back(move); }

 private:
  template <typename Visit>
  void for_each_tile(uint32_t cell_count, Visit&& visit) const;

  std::vector<PlacedMove> moves_;
  std::array<uint16_t, kMaxPieceCells> chosen_{};
  uint32_t chosen_count_ = 0;
};

// Every legal placement of every remaining piece of `player` on `board` (each once).
void get_tile_moves(const Board& board, uint32_t player, TurnMoves& out);
TurnMoves get_tile_moves(const Board& board, uint32_t player);

}  // namespace tavlox
