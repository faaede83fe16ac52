#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "game.h"
#include "oracle.h"

namespace tavlox::testing {

// Applies the tiles in order; fails naming the first tile the game rejects.
::testing::AssertionResult play_tiles(Game& game, std::initializer_list<uint32_t> tiles);

// The remaining pieces of `player` as catalogue ids, in list order.
std::vector<uint32_t> remaining_piece_ids(const Board& board, uint32_t player);

// The Moves of a turn in the oracle's form, sorted.
std::vector<OracleMove> listed_moves(const TurnMoves& turn);

// The consistent Moves of the player to move, in the oracle's form, sorted.
std::vector<OracleMove> engine_moves(const Game& game);

// Legal tiles as a sorted list (the game does not promise an order).
std::vector<uint32_t> sorted_legal_tiles(const Game& game);

// Every observable part of two games is equal: cells, anchors, pieces, history, the
// consistent Moves and chosen tiles, the player to move, finished flags and last sizes.
::testing::AssertionResult same_game(const Game& actual, const Game& expected);

// The state encoding in the given layout matches the cell owners (relabelled for the
// player to move) and the given sorted legal tiles.
::testing::AssertionResult state_encoding_matches(const Game& game, bool channels_last,
                                                  const std::vector<uint32_t>& legal_tiles);

}  // namespace tavlox::testing
