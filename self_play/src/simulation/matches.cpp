#include "matches.h"

#include <cstdio>

#include "action_choice.h"
#include "board.h"
#include "evaluate.h"
#include "fault.h"
#include "gumbel.h"
#include "pieces.h"
#include "reference_player.h"
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

// Plays a match to its end from the opening of `opening_number`; `seat_action` chooses the
// move of a seat a network or a reference player holds. Returns the finished game, or the error
// text after printing it.
template <typename SeatAction>
Result<Game> play_match(const MatchPlay& play, uint64_t opening_number, Rng& rng, TextOutput& out,
                        SeatAction&& seat_action) {
  check_dim(play.config.dim);
  Game game = Game::reset(uint32_t(play.config.dim));
  std::size_t played = 0;
  while (!game.is_terminal()) {
    uint32_t action;
    if (const auto opening = opening_tile(play.match, opening_number, played, game, rng)) {
      action = *opening;
    } else {
      auto chosen = seat_action(game);
      if (const ErrorText* error = error_of(chosen)) {
        report_error(out, *error);
        return ErrorText(kMatchError);
      }
      action = std::get<uint32_t>(chosen);
    }
    (void)game.apply(action);
    ++played;
  }
  return game;
}

// Network `first` in seat game_number % 4 and `second` in the others, played to the end.
Result<Game> head_to_head(Evaluator& first, Evaluator& second, const MatchPlay& play,
                          uint64_t game_number, Rng& rng, TextOutput& out) {
  const uint32_t seat = uint32_t(game_number % kPlayers);
  return play_match(play, game_number / kPlayers, rng, out, [&](const Game& game) {
    return match_action(game.player() == seat ? first : second, play, game, rng);
  });
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

Result<uint32_t> match_action(Evaluator& evaluator, const MatchPlay& play, const Game& game,
                              Rng& rng) {
  if (play.match.simulations == 0) return best_action(evaluator, game, rng);
  SearchNode root;
  if (play.search.root == RootKind::kGumbel) {
    RootChoice choice;
    if (auto error = run_gumbel(evaluator, play.config, play.search, play.match.simulations, false,
                                root, game, rng, choice)) {
      return std::move(*error);
    }
    if (!choice.policy.empty()) return choice.action;
  } else {
    const SearchOptions options = search_options(play.search, play.match.simulations, false);
    if (auto error = run_search(evaluator, play.config, options, root, game, rng)) {
      return std::move(*error);
    }
    if (!root.is_leaf()) return greedy_action(visit_dist(root));
  }
  // The network gave no legal tile a positive probability: the greedy player's fallback.
  return best_action(evaluator, game, rng);
}

std::optional<uint32_t> opening_tile(const MatchSettings& match, uint64_t game_number,
                                     std::size_t played, const Game& game, Rng& rng) {
  if (match.opening == OpeningKind::kFirstTile && played == 0) {
    const std::vector<uint32_t> legal = game.get_legal_tiles();
    if (!legal.empty()) return legal[game_number % legal.size()];
  }
  if (match.opening == OpeningKind::kRandom && played < match.random_tiles) {
    const std::vector<uint32_t> legal = game.get_legal_tiles();
    if (!legal.empty()) return legal[rng.index(uint32_t(legal.size()))];
  }
  return std::nullopt;
}

Result<float> head_to_head_game(Evaluator& first, Evaluator& second, const MatchPlay& play,
                                uint64_t game_number, Rng& rng, TextOutput& out) {
  auto finished = head_to_head(first, second, play, game_number, rng, out);
  if (const ErrorText* error = error_of(finished)) return *error;
  return std::get<Game>(finished).get_payoff()[game_number % kPlayers];
}

Result<float> against_reference_game(Evaluator& model, const MatchPlay& play, uint64_t game_number,
                                     Rng& rng, TextOutput& out) {
  const MatchSettings& match = play.match;
  const uint32_t seat = match.rotate_seats ? uint32_t(game_number % kPlayers) : 0;
  const uint64_t opening = match.rotate_seats ? game_number / kPlayers : game_number;
  ReferencePlayer opponents(match.opponents);
  std::optional<ReferencePlayer> subject;
  if (match.subject) subject.emplace(*match.subject);
  auto finished = play_match(play, opening, rng, out, [&](const Game& game) -> Result<uint32_t> {
    if (game.player() != seat) return opponents.choose(game, rng);
    if (subject) return subject->choose(game, rng);
    return match_action(model, play, game, rng);
  });
  if (const ErrorText* error = error_of(finished)) return *error;
  return std::get<Game>(finished).get_payoff()[seat];
}

Result<float> test_game(Evaluator& model, Evaluator& baseline, Rng& rng, TextOutput& out) {
  Config config{};
  config.dim = kTestGameDim;
  const SearchSettings search;
  const MatchSettings match;
  auto finished = head_to_head(model, baseline, MatchPlay{config, search, match}, 0, rng, out);
  if (const ErrorText* error = error_of(finished)) return *error;
  const Game& game = std::get<Game>(finished);
  out.write("Finished Game\n");
  out.write(game.board().render());
  return game.get_payoff()[0];
}

Result<float> test_against_random(Evaluator& model, const Config& config, Rng& rng,
                                  TextOutput& out) {
  const SearchSettings search;
  const MatchSettings match;
  return against_reference_game(model, MatchPlay{config, search, match}, 0, rng, out);
}

}  // namespace tavlox::self_play
