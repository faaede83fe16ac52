#include "game.h"

#include "fault.h"

namespace tavlox {

Game::Game(uint32_t dim) : board_(dim) {
  history_.reserve(size_t(kPlayers) * kCatalogueCells);
}

Game Game::reset(uint32_t dim) {
  Game game(dim);
  get_tile_moves(game.board_, 0, game.tile_moves_);
  return game;
}

Status Game::apply(uint32_t tile, std::optional<uint32_t> piece) {
  if (!tile_moves_.has_tile(tile)) {
    return "Invalid move - Player " + std::to_string(player_) + ", Tile " + std::to_string(tile);
  }
  board_.place_tile(tile, player_);
  history_.push_back({int32_t(player_), int32_t(tile)});
  tile_moves_.choose(tile);
  return complete_piece(piece);
}

Status Game::complete_piece(std::optional<uint32_t> piece) {
  if (!piece) {
    if (!tile_moves_.no_tiles()) return std::nullopt;
    if (tile_moves_.moves().empty()) return "valid_moves must be non-empty";
    piece = tile_moves_.moves().front().piece;
  }
  const uint32_t index = *piece;
  if (index >= board_.piece_count(player_)) {
    fail("Game::apply: piece index " + std::to_string(index) + " out of range: player " +
         std::to_string(player_) + " has " + std::to_string(board_.piece_count(player_)) +
         " pieces left");
  }
  last_piece_sizes_[player_] = board_.catalogue().piece(board_.piece_id(player_, index)).size;
  board_.remove_piece(player_, index);
  advance_player();
  return std::nullopt;
}

uint32_t Game::advance_player() {
  // At most five steps: every player once, and back to the one who moved last.
  for (;;) {
    if (is_terminal()) return player_;
    player_ = (player_ + 1) % kPlayers;
    if (finished_[player_]) {
      // A finished player never gains a move again; its map stays empty.
      tile_moves_.clear();
      continue;
    }
    get_tile_moves(board_, player_, tile_moves_);
    if (!tile_moves_.moves().empty()) return player_;
    finished_[player_] = true;
  }
}

std::vector<uint32_t> Game::get_legal_tiles() const {
  std::vector<uint32_t> tiles;
  legal_tiles(tiles);
  return tiles;
}

void Game::legal_tiles(std::vector<uint32_t>& out) const {
  tile_moves_.tiles(board_.cell_count(), out);
}

Payoff Game::get_payoff() const {
  const Scores scores = board_.get_scores(last_piece_sizes_);
  int32_t best = scores[0];
  std::array<bool, kPlayers> winners{};
  uint32_t winner_count = 0;
  for (uint32_t i = 0; i < kPlayers; ++i) {
    if (scores[i] == best) {
      winners[i] = true;
      ++winner_count;
    } else if (scores[i] > best) {
      best = scores[i];
      winners = {};
      winners[i] = true;
      winner_count = 1;
    }
  }
  Payoff payoff{};
  const float share = 1.0f / float(winner_count);
  for (uint32_t i = 0; i < kPlayers; ++i) payoff[i] = winners[i] ? share : 0.0f;
  return payoff;
}

void Game::write_game_state(bool channels_last, uint8_t* out) const {
  const uint32_t n = board_.cell_count();
  board_.write_rep(channels_last, player_, out, kStatePlanes);
  thread_local std::vector<uint32_t> tiles;
  legal_tiles(tiles);
  if (channels_last) {
    for (uint32_t pos = 0; pos < n; ++pos) out[size_t(pos) * kStatePlanes + kPlayers] = 0;
    for (uint32_t tile : tiles) out[size_t(tile) * kStatePlanes + kPlayers] = 1;
    return;
  }
  uint8_t* plane = out + size_t(kPlayers) * n;
  std::fill(plane, plane + n, uint8_t{0});
  for (uint32_t tile : tiles) plane[tile] = 1;
}

std::vector<uint8_t> Game::get_game_state(bool channels_last) const {
  std::vector<uint8_t> state(size_t(kStatePlanes) * board_.cell_count());
  write_game_state(channels_last, state.data());
  return state;
}

}  // namespace tavlox
