#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "moves.h"
#include "result.h"

namespace tavlox {

using Payoff = std::array<float, kPlayers>;

struct HistoryEntry {
  int32_t player;
  int32_t tile;

  friend bool operator==(const HistoryEntry&, const HistoryEntry&) = default;
};

// Number of planes of the state encoding: four occupancy planes relative to the player to
// move, then the legal-tile plane.
constexpr uint32_t kStatePlanes = 5;

// One four-player game. A plain value: the search copies it for every simulation.
class Game {
 public:
  static Game reset(uint32_t dim);

  // Chooses `tile` for the player to move. Returns an error text, or nothing on success; a
  // rejected tile leaves the game exactly as it was. `piece` (an index into the player's
  // remaining pieces) declares the piece complete; without it the piece completes when the
  // chosen tiles determine it.
  Status apply(uint32_t tile, std::optional<uint32_t> piece = std::nullopt);
  uint32_t advance_player();

  std::vector<uint32_t> get_legal_tiles() const;
  void legal_tiles(std::vector<uint32_t>& out) const;
  bool is_legal_tile(uint32_t tile) const { return tile_moves_.has_tile(tile); }
  bool is_terminal() const { return finished_[0] && finished_[1] && finished_[2] && finished_[3]; }
  Payoff get_payoff() const;
  // The state encoding, kStatePlanes * dim * dim bytes of 0 or 1: [plane][row][col], or
  // [row][col][plane] when channels_last.
  void write_game_state(bool channels_last, uint8_t* out) const;
  std::vector<uint8_t> get_game_state(bool channels_last) const;

  uint32_t player() const { return player_; }
  uint32_t dim() const { return board_.dim(); }
  const Board& board() const { return board_; }
  const TurnMoves& tile_moves() const { return tile_moves_; }
  const std::vector<HistoryEntry>& history() const { return history_; }
  std::vector<HistoryEntry> take_history() && { return std::move(history_); }
  const PieceSizes& last_piece_sizes() const { return last_piece_sizes_; }
  bool finished(uint32_t player) const { return finished_[player]; }

 private:
  explicit Game(uint32_t dim);
  Status complete_piece(std::optional<uint32_t> piece);

  Board board_;
  TurnMoves tile_moves_;
  std::vector<HistoryEntry> history_;
  PieceSizes last_piece_sizes_{};
  std::array<bool, kPlayers> finished_{};
  uint32_t player_ = 0;
};

}  // namespace tavlox
