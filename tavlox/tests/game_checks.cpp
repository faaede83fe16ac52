#include "game_checks.h"

#include <algorithm>

namespace tavlox::testing {
namespace {

::testing::AssertionResult same_boards(const Board& actual, const Board& expected) {
  if (actual.dim() != expected.dim()) return ::testing::AssertionFailure() << "dims differ";
  for (uint32_t pos = 0; pos < actual.cell_count(); ++pos) {
    if (actual.cell(pos) != expected.cell(pos)) {
      return ::testing::AssertionFailure() << "cell " << pos << " differs";
    }
  }
  for (uint32_t p = 0; p < kPlayers; ++p) {
    if (actual.corners(p) != expected.corners(p)) {
      return ::testing::AssertionFailure() << "anchors of player " << p << " differ";
    }
    if (remaining_piece_ids(actual, p) != remaining_piece_ids(expected, p)) {
      return ::testing::AssertionFailure() << "remaining pieces of player " << p << " differ";
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_turn(const Game& actual, const Game& expected) {
  if (engine_moves(actual) != engine_moves(expected)) {
    return ::testing::AssertionFailure() << "consistent Moves differ";
  }
  if (actual.tile_moves().chosen_count() != expected.tile_moves().chosen_count()) {
    return ::testing::AssertionFailure() << "numbers of chosen tiles differ";
  }
  for (uint32_t tile = 0; tile < actual.board().cell_count(); ++tile) {
    if (actual.tile_moves().is_chosen(tile) != expected.tile_moves().is_chosen(tile)) {
      return ::testing::AssertionFailure() << "chosen tile " << tile << " differs";
    }
  }
  if (sorted_legal_tiles(actual) != sorted_legal_tiles(expected)) {
    return ::testing::AssertionFailure() << "legal tiles differ";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

::testing::AssertionResult play_tiles(Game& game, std::initializer_list<uint32_t> tiles) {
  for (uint32_t tile : tiles) {
    if (auto error = game.apply(tile)) {
      return ::testing::AssertionFailure() << "tile " << tile << " rejected: " << *error;
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<uint32_t> remaining_piece_ids(const Board& board, uint32_t player) {
  std::vector<uint32_t> ids;
  for (uint32_t k = 0; k < board.piece_count(player); ++k) ids.push_back(board.piece_id(player, k));
  return ids;
}

std::vector<OracleMove> listed_moves(const TurnMoves& turn) {
  std::vector<OracleMove> moves;
  for (const PlacedMove& placed : turn.moves()) {
    const Move move = placed.move();
    moves.push_back(
        {move.piece, move.variant, move.position,
         std::vector<uint32_t>(placed.cells.begin(), placed.cells.begin() + placed.size)});
  }
  std::sort(moves.begin(), moves.end());
  return moves;
}

std::vector<OracleMove> engine_moves(const Game& game) {
  return listed_moves(game.tile_moves());
}

std::vector<uint32_t> sorted_legal_tiles(const Game& game) {
  std::vector<uint32_t> tiles = game.get_legal_tiles();
  std::sort(tiles.begin(), tiles.end());
  return tiles;
}

::testing::AssertionResult same_game(const Game& actual, const Game& expected) {
  if (auto boards = same_boards(actual.board(), expected.board()); !boards) return boards;
  if (auto turns = same_turn(actual, expected); !turns) return turns;
  if (actual.history() != expected.history()) {
    return ::testing::AssertionFailure() << "histories differ";
  }
  if (actual.player() != expected.player()) {
    return ::testing::AssertionFailure()
           << "player to move is " << actual.player() << ", expected " << expected.player();
  }
  if (actual.last_piece_sizes() != expected.last_piece_sizes()) {
    return ::testing::AssertionFailure() << "last piece sizes differ";
  }
  for (uint32_t p = 0; p < kPlayers; ++p) {
    if (actual.finished(p) != expected.finished(p)) {
      return ::testing::AssertionFailure() << "finished flag of player " << p << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult state_encoding_matches(const Game& game, bool channels_last,
                                                  const std::vector<uint32_t>& legal_tiles) {
  const std::vector<uint8_t> state = game.get_game_state(channels_last);
  const uint32_t n = game.board().cell_count();
  if (state.size() != size_t(kStatePlanes) * n) {
    return ::testing::AssertionFailure() << "state has " << state.size() << " entries";
  }
  std::vector<bool> legal(n, false);
  for (uint32_t tile : legal_tiles) legal[tile] = true;
  for (uint32_t pos = 0; pos < n; ++pos) {
    const int owner = owner_of(game.board(), pos);
    for (uint32_t plane = 0; plane < kStatePlanes; ++plane) {
      const bool expected =
          plane < kPlayers ? owner >= 0 && uint32_t(owner) == (game.player() + plane) % kPlayers
                           : bool(legal[pos]);
      const size_t index =
          channels_last ? size_t(pos) * kStatePlanes + plane : size_t(plane) * n + pos;
      if (state[index] != uint8_t(expected)) {
        return ::testing::AssertionFailure()
               << (channels_last ? "channels-last" : "channels-first") << " plane " << plane
               << " at cell " << pos << " is " << int(state[index]) << ", expected " << expected;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tavlox::testing
