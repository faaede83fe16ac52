#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "random_game_checker.h"

namespace tavlox::testing {
namespace {

struct RandomGameCase {
  uint32_t dim;
  uint32_t games;
  uint64_t seed;
};

// Below this many games the coverage expectations may fail by chance.
constexpr uint32_t kGamesForCoverage = 100;

void print_stats(uint32_t dim, const RandomGameStats& stats) {
  std::cout << "board of " << dim << ": " << stats.games << " games, " << stats.turns << " turns, "
            << stats.tiles << " tiles; pieces by size";
  for (size_t size = 1; size < stats.pieces_by_size.size(); ++size) {
    std::cout << ' ' << stats.pieces_by_size[size];
  }
  std::cout << "; games by number of winners";
  for (size_t n = 1; n < stats.games_by_winner_count.size(); ++n) {
    std::cout << ' ' << stats.games_by_winner_count[n];
  }
  std::cout << "; " << stats.repeated_turns << " turns in a row, " << stats.emptied_hands
            << " emptied hands\n";
}

class RandomGames : public ::testing::TestWithParam<RandomGameCase> {};

TEST_P(RandomGames, EngineAgreesWithTheOracleAfterEveryTile) {
  const RandomGameCase& c = GetParam();
  const uint32_t games = scaled_game_count(c.games);
  const RandomGameStats stats = check_random_games(c.dim, games, c.seed);
  print_stats(c.dim, stats);
  ASSERT_EQ(stats.games, games) << "games that failed a check are reported above";
  if (games < kGamesForCoverage) return;
  for (size_t size = 1; size <= kMaxPieceCells; ++size) {
    EXPECT_GT(stats.pieces_by_size[size], 0u) << "no piece of " << size << " cells was completed";
  }
  EXPECT_GT(stats.repeated_turns, 0u) << "no game reached a position where one player moves alone";
  EXPECT_GT(stats.games_by_winner_count[2], 0u) << "no game ended with a shared best score";
}

INSTANTIATE_TEST_SUITE_P(Dims, RandomGames,
                         ::testing::Values(RandomGameCase{4, 3000, 4000},
                                           RandomGameCase{5, 3000, 5000},
                                           RandomGameCase{7, 2000, 7000},
                                           RandomGameCase{20, 400, 20000}),
                         [](const auto& info) { return "Dim" + std::to_string(info.param.dim); });

}  // namespace
}  // namespace tavlox::testing
