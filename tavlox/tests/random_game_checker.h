#pragma once

#include <array>
#include <cstdint>

#include "pieces.h"

namespace tavlox::testing {

// What the random games went through, so that suites can tell that the checks were not
// vacuous (finished players were seen, monominoes were placed, ...).
struct RandomGameStats {
  uint64_t games = 0;
  uint64_t tiles = 0;
  uint64_t turns = 0;
  // Completed pieces by cell count.
  std::array<uint64_t, kMaxPieceCells + 1> pieces_by_size{};
  // A player moved again right after its own turn, all others being finished.
  uint64_t repeated_turns = 0;
  uint64_t rejected_tiles = 0;
  // Finished games by the number of players sharing the best score.
  std::array<uint64_t, kPlayers + 1> games_by_winner_count{};
  // Players who placed all their pieces.
  uint64_t emptied_hands = 0;
};

// Plays `games` games on a dim x dim board, choosing every tile uniformly among the legal
// tiles, and checks the engine against the legality oracle after every tile: board
// invariants, the Moves at the start of every turn (and, at every fourth, what
// Board::is_valid_move accepts), the legal tiles within a turn, piece completion, skipped
// and finished players, the state encoding, rejection of an illegal tile, and the history,
// scores and payoff at the end. Failures are reported through GoogleTest with the dim, game
// number and seed; each failing game stops at its first.
RandomGameStats check_random_games(uint32_t dim, uint32_t games, uint64_t seed);

// `default_count` scaled by the environment variable TAVLOX_RANDOM_GAME_FACTOR (a positive
// number), at least 1.
uint32_t scaled_game_count(uint32_t default_count);

}  // namespace tavlox::testing
