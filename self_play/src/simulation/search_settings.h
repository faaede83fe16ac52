#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "reference_player.h"

namespace tavlox::self_play {

// How the root of a search picks the children it simulates.
enum class RootKind {
  kPuct,    // every simulation selects by the PUCT score, Dirichlet noise on training roots
  kGumbel,  // Gumbel top-m sampling and sequential halving; completed-Q policy targets
};

// How a searched move is searched. The defaults are the one-game drivers' own search, and
// with them the batched engine plays exactly the same games.
struct SearchSettings {
  RootKind root = RootKind::kPuct;
  // Unset: an unvisited child scores 0. Set: it scores the mean value of its parent's
  // visited children (in the mover's terms) minus this reduction.
  std::optional<float> fpu_reduction;
  // Actions a Gumbel root considers, and the constants of its value transform
  // sigma(q) = (c_visit + max visits) * c_scale * q.
  std::size_t gumbel_actions = 16;
  float c_visit = 50.0f;
  float c_scale = 1.0f;
  // Training games: each move is searched fully (and recorded) with this probability,
  // otherwise with `fast_simulations`, without root noise, and not recorded.
  float full_search_probability = 1.0f;
  std::size_t fast_simulations = 0;
  // Each leaf's value mixes the network's (share 1 - rollout_weight) with the mean payoff of
  // `rollouts` games played out from the leaf by reference players of kind rollout_player in
  // every seat. With rollout_temperature above 0 a play-out is worth a softmax of the final
  // scores over that many cells instead of its payoff.
  float rollout_weight = 0.0f;
  ReferenceKind rollout_player = ReferenceKind::kLargestPiece;
  std::size_t rollouts = 1;
  float rollout_temperature = 0.0f;
};

enum class OpeningKind {
  kNone,
  kFirstTile,  // game number n opens with legal first tile n % (number of legal first tiles)
  kRandom,     // the first `random_tiles` tiles are uniformly random legal ones
};

// How evaluation matches are played.
struct MatchSettings {
  // 0: greedy on the network's policy; N: a search with N simulations, no noise, best move.
  std::size_t simulations = 0;
  OpeningKind opening = OpeningKind::kNone;
  std::size_t random_tiles = 0;
  // The match against reference players: the players in the other seats, whether the measured
  // seat is 0 or game number % 4, and a reference player taking the measured seat instead of
  // the network (which is then never asked).
  ReferenceKind opponents = ReferenceKind::kRandomTiles;
  bool rotate_seats = false;
  std::optional<ReferenceKind> subject;
};

// Why the settings cannot be used, or nothing when they can.
std::optional<std::string> search_settings_error(const SearchSettings& settings);
std::optional<std::string> match_settings_error(const MatchSettings& settings);

}  // namespace tavlox::self_play
