#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "search_settings.h"

namespace tavlox::self_play {

// What the games of one run are.
enum class JobKind {
  kTraining,         // self-play with a search before every action; one network
  kAgainstRandom,    // network 0 in seat 0 (or rotating) against three reference players
  kAgainstBaseline,  // network 0 in seat 0, network 1 in seats 1 to 3, greedy, on 20 x 20
  kHeadToHead,       // network 0 in seat (game number % 4), network 1 in the others, on dim
};

struct EngineOptions {
  Config config;
  JobKind kind = JobKind::kTraining;
  // How searched moves are searched (training games and searched matches), and how the
  // head-to-head and against-random matches play. The baseline match ignores both.
  SearchSettings search;
  MatchSettings match;
  // Games to finish; a failed game is replaced by a new one until `max_failed_games` fail.
  std::size_t games = 0;
  std::size_t games_in_flight = 0;
  std::size_t search_threads = 1;
  // Positions per batch; at most games_in_flight.
  std::size_t batch_size = 0;
  // Batch buffers per network: while the network evaluates one, the search fills another.
  std::size_t slots = 2;
  // The same seed gives every game the same random draws, whatever the threads do.
  uint64_t seed = 0;
  // The numbers of the games to play, which choose their random draws (several engines can
  // share one seed and divide the numbers between them); empty: 0 to games - 1.
  std::vector<uint64_t> game_numbers;
  std::size_t max_failed_games = 0;
};

// Games that replace failed ones are numbered from here on, apart from any given number.
constexpr uint64_t kReplacementGames = uint64_t(1) << 62;

std::size_t network_count(JobKind kind);
// The board size the games of `options` are played on.
uint32_t board_dim(const EngineOptions& options);
// Why `options` cannot run, or nothing when they can.
std::optional<std::string> options_error(const EngineOptions& options);

}  // namespace tavlox::self_play
