#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "config.h"
#include "evaluator.h"
#include "random.h"
#include "result.h"
#include "search_settings.h"

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

// How a match plays: the search (root kind, first-play urgency)
// and the match settings (simulations, opening).
struct MatchPlay {
  const Config& config;
  const SearchSettings& search;
  const MatchSettings& match;
};

// The move of a network in a match: greedy on its policy (best_action) without
// simulations, else the best action of a noise-free search: the most visited child of a
// PUCT root, the choice of a Gumbel root.
Result<uint32_t> match_action(Evaluator& evaluator, const MatchPlay& play, const Game& game,
                              Rng& rng);

// The opening tile of a match after `played` tiles, or none once the opening is over:
// "first tile" plays legal first tile game_number % count; "random" plays uniformly random
// legal tiles for the first random_tiles tiles.
std::optional<uint32_t> opening_tile(const MatchSettings& match, uint64_t game_number,
                                     std::size_t played, const Game& game, Rng& rng);

// Network `first` in seat game_number % 4, network `second` in the other three, on
// config.dim; a "first tile" opening follows game_number / 4, so that every seat meets every
// first tile in 4 * count games. Returns `first`'s payoff, or the error text "Error running MCTS"
// after printing the error line.
Result<float> head_to_head_game(Evaluator& first, Evaluator& second, const MatchPlay& play,
                                uint64_t game_number, Rng& rng, TextOutput& out);

// The measured seat (0, or game_number % 4 when play.match.rotate_seats) plays `model` as `play`
// says, or the reference player play.match.subject when set; the other seats play reference
// players of kind play.match.opponents. With rotated seats a "first tile" opening follows
// game_number / 4, as in head_to_head_game. Returns the measured seat's payoff.
Result<float> against_reference_game(Evaluator& model, const MatchPlay& play, uint64_t game_number,
                                     Rng& rng, TextOutput& out);

// The legal action with the highest network probability; tile 0 when the network gave no
// legal tile a positive probability and tile 0 is legal, else the first legal tile.
Result<uint32_t> best_action(Evaluator& evaluator, const Game& game, Rng& rng);

// Seat 0 plays `model`, seats 1 to 3 `baseline`, greedily on a board of 20, then prints
// "Finished Game" and the final board. Returns seat 0's payoff or the error text
// "Error running MCTS".
Result<float> test_game(Evaluator& model, Evaluator& baseline, Rng& rng, TextOutput& out);

// Seat 0 plays `model` greedily, seats 1 to 3 uniformly random legal tiles, on config.dim:
// against_reference_game with the default match settings.
// Returns seat 0's payoff or, when an evaluation failed, the error text "Error running MCTS"
// (the error line is printed).
Result<float> test_against_random(Evaluator& model, const Config& config, Rng& rng,
                                  TextOutput& out);

}  // namespace tavlox::self_play
