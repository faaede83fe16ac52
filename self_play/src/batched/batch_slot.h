#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavlox::self_play {

struct GameTask;

// One batch buffer of one network, allocated once. Rows are taken by the games that ask
// for an evaluation; the network's caller reads the planes and writes the logits in place.
struct BatchSlot {
  enum class State {
    kFilling,     // open for requests (empty when reserved == 0)
    kReady,       // closed, waiting for the caller to take it
    kEvaluating,  // handed to the caller, until it submits the answers
  };

  BatchSlot(std::size_t capacity, std::size_t plane_bytes, std::size_t policy_size,
            std::size_t value_size)
      : planes(capacity * plane_bytes),
        policy_logits(capacity * policy_size),
        value_logits(capacity * value_size),
        waiters(capacity, nullptr) {}

  std::size_t capacity() const { return waiters.size(); }

  std::vector<uint8_t> planes;       // rows x planes x dim x dim, 0 or 1
  std::vector<float> policy_logits;  // rows x dim^2
  std::vector<float> value_logits;   // rows x players, from the mover's view
  std::vector<GameTask*> waiters;    // the game that owns each row
  State state = State::kFilling;
  std::size_t reserved = 0;  // rows handed out
  std::size_t written = 0;   // rows whose planes are complete
};

}  // namespace tavlox::self_play
