#pragma once

#include <cstddef>

namespace tavlox::self_play {

// The configuration of one call, converted from the caller's Python object field by field
// in this order. Word fields are unsigned integers of the platform's address width.
struct Config {
  std::size_t dim;
  std::size_t rep;
  std::size_t sims_per_move;
  std::size_t sample_moves;
  float c_base;
  float c_init;
  float dirichlet_alpha;
  float exploration_fraction;
};

}  // namespace tavlox::self_play
