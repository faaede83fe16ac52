#include "moves.h"

#include <algorithm>
#include <bit>

#include "fault.h"

namespace tavlox {
namespace {

// Scratch bitmap of tiles, left all-zero between uses.
std::vector<uint64_t>& tile_bitmap(uint32_t cell_count) {
  thread_local std::vector<uint64_t> bits;
  const size_t words = (size_t(cell_count) + 63) / 64;
  if (bits.size() < words) bits.resize(words, 0);
  return bits;
}

// The cells around one anchor that the player may not cover (blocked or off the board), and
// the player's other anchors there.
struct AnchorWindow {
  WindowMask blocked;
  WindowMask anchors;
};

AnchorWindow window_around(const Board& board, uint32_t player, uint32_t anchor) {
  const int32_t dim = int32_t(board.dim());
  const int32_t row = int32_t(anchor) / dim;
  const int32_t col = int32_t(anchor) % dim;
  const uint8_t blocked = blocked_bit(player);
  AnchorWindow window;
  for (int32_t dr = -4; dr <= 4; ++dr) {
    for (int32_t dc = -4; dc <= 4; ++dc) {
      const int32_t r = row + dr;
      const int32_t c = col + dc;
      if (r < 0 || r >= dim || c < 0 || c >= dim) {
        window.blocked.set(dr, dc);
        continue;
      }
      const uint32_t cell = uint32_t(r * dim + c);
      if (board.cell(cell) & blocked) window.blocked.set(dr, dc);
      if (board.is_corner(player, cell)) window.anchors.set(dr, dc);
    }
  }
  return window;
}

}  // namespace

bool TurnMoves::is_chosen(uint32_t tile) const {
  for (uint32_t i = 0; i < chosen_count_; ++i) {
    if (chosen_[i] == tile) return true;
  }
  return false;
}

bool TurnMoves::has_tile(uint32_t tile) const {
  if (is_chosen(tile)) return false;
  return std::any_of(moves_.begin(), moves_.end(),
                     [tile](const PlacedMove& move) { return move.covers(tile); });
}

bool TurnMoves::no_tiles() const {
  return std::all_of(moves_.begin(), moves_.end(),
                     [this](const PlacedMove& move) { return move.size == chosen_count_; });
}

void TurnMoves::choose(uint32_t tile) {
  check_index(chosen_count_, kMaxPieceCells);
  std::erase_if(moves_, [tile](const PlacedMove& move) { return !move.covers(tile); });
  chosen_[chosen_count_++] = uint16_t(tile);
}

template <typename Visit>
void TurnMoves::for_each_tile(uint32_t cell_count, Visit&& visit) const {
  std::vector<uint64_t>& bits = tile_bitmap(cell_count);
  for (const PlacedMove& move : moves_) {
    for (uint32_t i = 0; i < move.size; ++i)
      bits[move.cells[i] >> 6] |= 1ull << (move.cells[i] & 63);
  }
  for (uint32_t i = 0; i < chosen_count_; ++i)
    bits[chosen_[i] >> 6] &= ~(1ull << (chosen_[i] & 63));
  const size_t words = (size_t(cell_count) + 63) / 64;
  for (size_t w = 0; w < words; ++w) {
    uint64_t word = bits[w];
    bits[w] = 0;
    while (word != 0) {
      visit(uint32_t(w * 64 + std::countr_zero(word)));
      word &= word - 1;
    }
  }
}

void TurnMoves::tiles(uint32_t cell_count, std::vector<uint32_t>& out) const {
  out.clear();
  for_each_tile(cell_count, [&](uint32_t tile) { out.push_back(tile); });
}

void TurnMoves::clear() {
  moves_.clear();
  chosen_count_ = 0;
}

void get_tile_moves(const Board& board, uint32_t player, TurnMoves& out) {
  check_index(player, kPlayers);
  out.clear();
  const Catalogue& catalogue = board.catalogue();
  const uint32_t pieces = board.piece_count(player);
  if (pieces == 0) return;
  board.for_each_corner(player, [&](uint32_t anchor) {
    const AnchorWindow window = window_around(board, player, anchor);
    for (uint32_t k = 0; k < pieces; ++k) {
      const auto variants = catalogue.orientations(board.piece_id(player, k));
      for (uint32_t v = 0; v < variants.size(); ++v) {
        const Orientation& variant = variants[v];
        for (uint32_t i = 0; i < variant.size; ++i) {
          if (variant.around[i].intersects(window.blocked)) continue;
          // Recorded once, from the first of its cells that is an anchor.
          if (variant.earlier[i].intersects(window.anchors)) continue;
          const uint32_t origin = anchor - variant.offsets[i];
          PlacedMove move{uint16_t(origin), uint8_t(k), uint8_t(v), variant.size, {}};
          for (uint32_t j = 0; j < variant.size; ++j) {
            move.cells[j] = uint16_t(origin + variant.offsets[j]);
          }
          out.add(move);
        }
      }
    }
  });
}

TurnMoves get_tile_moves(const Board& board, uint32_t player) {
  TurnMoves moves;
  get_tile_moves(board, player, moves);
  return moves;
}

}  // namespace tavlox
