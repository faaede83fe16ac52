#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "config.h"
#include "evaluator.h"
#include "random.h"
#include "result.h"

namespace tavlox::self_play {

// Where the matches print: lines and the final board.
class TextOutput {
 public:
  virtual ~TextOutput() = default;
  virtual void write(std::string_view text) = 0;
};

// The only error text of a match; the line printed before it says what went wrong.
constexpr const char* kMatchError = "Error running MCTS";

// The board size of a match against a baseline network.
constexpr uint32_t kTestGameDim = 20;

// Text wrapped in double quotes with inner quotes and backslashes escaped.
std::string debug_quote(std::string_view text);

// The legal action with the highest network probability; tile 0 when the network gave no
// legal tile a positive probability and tile 0 is legal, else the first legal tile.
Result<uint32_t> best_action(Evaluator& evaluator, const Game& game, Rng& rng);

// Seat 0 plays `model`, seats 1 to 3 `baseline`, greedily on a board of 20. Returns seat 0's
// payoff or the error text "Error running MCTS".
Result<float> test_game(Evaluator& model, Evaluator& baseline, Rng& rng, TextOutput& out);

// Seat 0 plays `model` greedily, seats 1 to 3 uniformly random legal tiles, on config.dim.
// Returns seat 0's payoff or, when an evaluation failed, the error text "Error running MCTS"
// (the error line is printed).
Result<float> test_against_random(Evaluator& model, const Config& config, Rng& rng,
                                  TextOutput& out);

}  // namespace tavlox::self_play
