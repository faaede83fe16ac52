#pragma once

#include <optional>
#include <string>
#include <vector>

#include "game.h"

namespace tavlox::self_play {

// An error met while asking the network, rendered in its two text forms while the
// underlying error was still at hand. It is returned as a value (result.h), the Status of an
// evaluation with a richer error than text; the search and the matches turn it into text.
struct EvaluationError {
  // "<type qualname>: <str(value)>"
  std::string display;
  // One line naming the type and value by their reprs and giving the traceback.
  std::string debug;
};

// Raw network output for one position: policy logits indexed by tile, value logits ordered
// from the player to move.
struct NetworkOutput {
  std::vector<float> policy_logits;
  std::vector<float> value_logits;
};

// The only way the search and the matches reach the network. Not thread-safe: one
// evaluator serves one game at a time.
class Evaluator {
 public:
  virtual ~Evaluator() = default;
  // Evaluates the non-terminal position of `game`, filling `out` (whose buffers may be
  // reused), or returns the error that stopped it. Faults are thrown as tavlox::Fault.
  virtual std::optional<EvaluationError> infer(const Game& game, NetworkOutput& out) = 0;
  // Called regularly by a long search, also when it does not reach the network, so that the
  // caller can stop it: an error ends the search as an evaluation error would. By default
  // nothing stops it.
  virtual std::optional<EvaluationError> poll() { return std::nullopt; }
};

}  // namespace tavlox::self_play
