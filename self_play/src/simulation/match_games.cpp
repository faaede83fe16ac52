#include "match_games.h"

#include "action_choice.h"
#include "board.h"
#include "gumbel.h"
#include "pieces.h"
#include "reference_player.h"
#include "search_node.h"

namespace tavlox::self_play {
namespace {

void report_error(TextOutput& out, std::string_view error) {
  out.write("Error running MCTS: " + debug_quote(error) + "\n");
}

// Plays a match to its end from the opening of `opening_number`; `seat_action` chooses the
// move of a seat a network or a random player holds. Returns the payoffs, or the error text after
// printing it.
template <typename SeatAction>
Result<Payoff> play_match(const MatchPlay& play, uint64_t opening_number, Rng& rng, TextOutput& out,
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
  return game.get_payoff();
}

}  // namespace

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
    const SearchOptions options{play.match.simulations, false, play.search.fpu_reduction};
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
  const uint32_t seat = uint32_t(game_number % kPlayers);
  auto payoffs = play_match(play, game_number / kPlayers, rng, out, [&](const Game& game) {
    return match_action(game.player() == seat ? first : second, play, game, rng);
  });
  if (const ErrorText* error = error_of(payoffs)) return *error;
  return std::get<Payoff>(payoffs)[seat];
}

Result<float> against_reference_game(Evaluator& model, const MatchPlay& play, uint64_t game_number,
                                     Rng& rng, TextOutput& out) {
  const MatchSettings& match = play.match;
  const uint32_t seat = match.rotate_seats ? uint32_t(game_number % kPlayers) : 0;
  const uint64_t opening = match.rotate_seats ? game_number / kPlayers : game_number;
  ReferencePlayer opponents(match.opponents);
  std::optional<ReferencePlayer> subject;
  if (match.subject) subject.emplace(*match.subject);
  auto payoffs = play_match(play, opening, rng, out, [&](const Game& game) -> Result<uint32_t> {
    if (game.player() != seat) return opponents.choose(game, rng);
    if (subject) return subject->choose(game, rng);
    return match_action(model, play, game, rng);
  });
  if (const ErrorText* error = error_of(payoffs)) return *error;
  return std::get<Payoff>(payoffs)[seat];
}

}  // namespace tavlox::self_play
