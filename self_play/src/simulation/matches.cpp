#include "matches.h"

#include <cstdio>

#include "evaluate.h"
#include "fault.h"
#include "pieces.h"
#include "search_node.h"

namespace tavlox::self_play {
namespace {

void append_escaped(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\0':
      out += "\\0";
      return;
    default:
      break;
  }
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20 || byte == 0x7f) {
    char escaped[16];
    std::snprintf(escaped, sizeof(escaped), "\\u{%x}", byte);
    out += escaped;
    return;
  }
  out += c;
}

// Without a positive probability for any legal tile, the network still has to move: tile 0
// if it is legal, else the first legal tile, so that a match always ends.
uint32_t fallback_action(const Game& game) {
  if (game.is_legal_tile(0)) return 0;
  const std::vector<uint32_t> legal = game.get_legal_tiles();
  return legal.empty() ? 0 : legal.front();
}

void report_error(TextOutput& out, std::string_view error) {
  out.write("Error running MCTS: " + debug_quote(error) + "\n");
}

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string quoted = "\"";
  quoted.reserve(text.size() + 2);
  for (char c : text) append_escaped(quoted, c);
  quoted += '"';
  return quoted;
}

Result<uint32_t> best_action(Evaluator& evaluator, const Game& game, Rng& rng) {
  SearchNode node;
  ValueVector values;
  if (auto error = evaluate(evaluator, node, game, rng, values)) {
    return "Error evaluating root node: " + error->debug;
  }
  if (node.is_leaf()) return fallback_action(game);
  uint32_t best = 0;
  float best_prior = 0.0f;
  for (const SearchNode& child : node.children) {
    if (child.prior > best_prior) {
      best = child.action;
      best_prior = child.prior;
    }
  }
  return best;
}

Result<float> test_game(Evaluator& model, Evaluator& baseline, Rng& rng, TextOutput& out) {
  Game game = Game::reset(kTestGameDim);
  while (!game.is_terminal()) {
    Evaluator& mover = game.player() == 0 ? model : baseline;
    auto action = best_action(mover, game, rng);
    if (const ErrorText* error = error_of(action)) {
      report_error(out, *error);
      return ErrorText(kMatchError);
    }
    (void)game.apply(std::get<uint32_t>(action));
  }
  out.write("Finished Game\n");
  out.write(game.board().render());
  return game.get_payoff()[0];
}

Result<float> test_against_random(Evaluator& model, const Config& config, Rng& rng,
                                  TextOutput& out) {
  check_dim(config.dim);
  Game game = Game::reset(uint32_t(config.dim));
  std::vector<uint32_t> legal;
  while (!game.is_terminal()) {
    uint32_t action;
    if (game.player() == 0) {
      auto chosen = best_action(model, game, rng);
      if (const ErrorText* error = error_of(chosen)) {
        report_error(out, *error);
        return ErrorText(kMatchError);
      }
      action = std::get<uint32_t>(chosen);
    } else {
      game.legal_tiles(legal);
      action = legal[rng.index(uint32_t(legal.size()))];
    }
    (void)game.apply(action);
  }
  return game.get_payoff()[0];
}

}  // namespace tavlox::self_play
