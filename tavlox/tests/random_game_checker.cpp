#include "random_game_checker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "board_invariants.h"
#include "game_checks.h"
#include "oracle.h"

#ifndef TAVLOX_DEFAULT_RANDOM_GAME_FACTOR
#define TAVLOX_DEFAULT_RANDOM_GAME_FACTOR 1.0
#endif

namespace tavlox::testing {
namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

// Propagates the first failed check of a game.
#define RETURN_IF_FAILED(check)     \
  do {                              \
    AssertionResult result = check; \
    if (!result) return result;     \
  } while (false)

// One random game, played by the engine and followed by an independent model that keeps
// the remaining pieces, finished players and consistent Moves from the oracle alone.
class RandomGame {
 public:
  RandomGame(uint32_t dim, uint64_t seed, RandomGameStats& stats)
      : game_(Game::reset(dim)), rng_(seed), stats_(stats) {
    for (auto& ids : pieces_) {
      for (uint32_t id = 0; id < kPieceCount; ++id) ids.push_back(id);
    }
    consistent_ = oracle_legal_moves(game_.board(), 0, pieces_[0]);
  }

  AssertionResult play() {
    if (consistent_.empty()) return AssertionFailure() << "player 0 has no first Move";
    while (!model_terminal()) {
      if (chosen_.empty()) RETURN_IF_FAILED(check_turn_start());
      RETURN_IF_FAILED(play_tile());
    }
    RETURN_IF_FAILED(check_rejected_tile({}));
    return check_end();
  }

  const Game& game() const { return game_; }

 private:
  bool model_terminal() const {
    return std::all_of(finished_.begin(), finished_.end(), [](bool f) { return f; });
  }

  std::vector<uint32_t> expected_legal_tiles() const {
    std::vector<uint32_t> tiles;
    for (const OracleMove& move : consistent_) {
      for (uint32_t cell : move.cells) {
        if (std::find(chosen_.begin(), chosen_.end(), cell) == chosen_.end()) tiles.push_back(cell);
      }
    }
    std::sort(tiles.begin(), tiles.end());
    tiles.erase(std::unique(tiles.begin(), tiles.end()), tiles.end());
    return tiles;
  }

  AssertionResult check_turn_start() {
    ++stats_.turns;
    const std::vector<OracleMove> moves = engine_moves(game_);
    if (moves != consistent_) {
      return AssertionFailure() << "player " << player_ << " has " << moves.size()
                                << " Moves from the engine but " << consistent_.size()
                                << " from the oracle" << first_difference(moves, consistent_);
    }
    // Scanning every position is slow; every fourth turn start suffices.
    if (stats_.turns % 4 == 0) RETURN_IF_FAILED(check_validity_test());
    return check_rejected_tile(expected_legal_tiles());
  }

  // Board::is_valid_move, tried at every position, accepts exactly the oracle's Moves.
  AssertionResult check_validity_test() const {
    const Board& board = game_.board();
    std::vector<OracleMove> accepted;
    for (uint32_t k = 0; k < pieces_[player_].size(); ++k) {
      const auto orientations = board.catalogue().orientations(pieces_[player_][k]);
      for (uint32_t v = 0; v < orientations.size(); ++v) {
        for (uint32_t pos = 0; pos < board.cell_count(); ++pos) {
          if (board.is_valid_move(player_, orientations[v], pos))
            accepted.push_back({k, v, pos, {}});
        }
      }
    }
    if (accepted.size() != consistent_.size()) {
      return AssertionFailure() << "Board::is_valid_move accepts " << accepted.size()
                                << " placements of player " << player_ << ", the oracle "
                                << consistent_.size();
    }
    for (size_t i = 0; i < accepted.size(); ++i) {
      const OracleMove& m = consistent_[i];
      if (accepted[i].piece != m.piece || accepted[i].variant != m.variant ||
          accepted[i].position != m.position) {
        return AssertionFailure() << "Board::is_valid_move accepts piece " << accepted[i].piece
                                  << " variant " << accepted[i].variant << " at "
                                  << accepted[i].position << ", which the oracle does not";
      }
    }
    return AssertionSuccess();
  }

  static std::string first_difference(const std::vector<OracleMove>& engine,
                                      const std::vector<OracleMove>& oracle) {
    auto describe = [](const char* who, const OracleMove& m) {
      return std::string("; only the ") + who + " has Move (piece " + std::to_string(m.piece) +
             ", variant " + std::to_string(m.variant) + ", position " + std::to_string(m.position) +
             ")";
    };
    for (const OracleMove& m : engine) {
      if (!std::binary_search(oracle.begin(), oracle.end(), m)) return describe("engine", m);
    }
    for (const OracleMove& m : oracle) {
      if (!std::binary_search(engine.begin(), engine.end(), m)) return describe("oracle", m);
    }
    return "; the engine lists a Move twice";
  }

  // An illegal tile (possibly just off the board) is refused and changes nothing.
  AssertionResult check_rejected_tile(const std::vector<uint32_t>& legal) {
    const uint32_t n = game_.board().cell_count();
    uint32_t tile = 0;
    do {
      tile = std::uniform_int_distribution<uint32_t>(0, n)(rng_);
    } while (std::binary_search(legal.begin(), legal.end(), tile));
    const Game before = game_;
    const std::optional<std::string> error = game_.apply(tile);
    const std::string expected =
        "Invalid move - Player " + std::to_string(player_) + ", Tile " + std::to_string(tile);
    if (error != expected) {
      return AssertionFailure() << "illegal tile " << tile << " gave \""
                                << error.value_or("success") << "\" instead of \"" << expected
                                << "\"";
    }
    ++stats_.rejected_tiles;
    AssertionResult unchanged = same_game(game_, before);
    if (!unchanged) unchanged << " after the illegal tile " << tile;
    return unchanged;
  }

  AssertionResult play_tile() {
    const std::vector<uint32_t> legal = expected_legal_tiles();
    if (sorted_legal_tiles(game_) != legal) {
      return AssertionFailure() << "the engine's legal tiles differ from the " << legal.size()
                                << " tiles of the " << consistent_.size()
                                << " consistent Moves, after " << chosen_.size() << " chosen tiles";
    }
    RETURN_IF_FAILED(state_encoding_matches(game_, false, legal));
    RETURN_IF_FAILED(state_encoding_matches(game_, true, legal));
    const uint32_t tile = legal[std::uniform_int_distribution<size_t>(0, legal.size() - 1)(rng_)];
    const size_t history_size = game_.history().size();
    if (auto error = game_.apply(tile)) {
      return AssertionFailure() << "legal tile " << tile << " rejected: " << *error;
    }
    ++stats_.tiles;
    const HistoryEntry expected_entry{int32_t(player_), int32_t(tile)};
    if (game_.history().size() != history_size + 1 || game_.history().back() != expected_entry) {
      return AssertionFailure() << "history does not end with (" << player_ << ", " << tile << ")";
    }
    RETURN_IF_FAILED(board_invariants_hold(game_.board()));
    chosen_.push_back(tile);
    std::erase_if(consistent_, [tile](const OracleMove& move) {
      return std::find(move.cells.begin(), move.cells.end(), tile) == move.cells.end();
    });
    const bool complete =
        std::all_of(consistent_.begin(), consistent_.end(),
                    [&](const OracleMove& m) { return m.cells.size() == chosen_.size(); });
    return complete ? complete_piece() : check_turn_continues();
  }

  AssertionResult check_turn_continues() {
    if (game_.player() != player_) {
      return AssertionFailure() << "the turn passed to player " << game_.player()
                                << " although consistent Moves cover more tiles";
    }
    return check_pieces_and_players();
  }

  AssertionResult complete_piece() {
    const uint32_t mover = player_;
    if (consistent_.empty()) return AssertionFailure() << "no consistent Move is left";
    const uint32_t piece = consistent_.front().piece;
    for (const OracleMove& move : consistent_) {
      if (move.piece != piece) return AssertionFailure() << "the chosen tiles name two pieces";
    }
    pieces_[mover].erase(pieces_[mover].begin() + piece);
    last_sizes_[mover] = uint32_t(chosen_.size());
    ++stats_.pieces_by_size[chosen_.size()];
    chosen_.clear();
    advance_model();
    if (game_.player() != player_) {
      return AssertionFailure() << "after player " << mover << " completed a piece, player "
                                << game_.player() << " is to move instead of " << player_;
    }
    if (player_ == mover && !model_terminal()) ++stats_.repeated_turns;
    return check_pieces_and_players();
  }

  void advance_model() {
    for (;;) {
      if (model_terminal()) {
        consistent_.clear();
        return;
      }
      player_ = (player_ + 1) % kPlayers;
      if (finished_[player_]) continue;
      consistent_ = oracle_legal_moves(game_.board(), player_, pieces_[player_]);
      if (!consistent_.empty()) return;
      finished_[player_] = true;
    }
  }

  AssertionResult check_pieces_and_players() {
    for (uint32_t p = 0; p < kPlayers; ++p) {
      if (remaining_piece_ids(game_.board(), p) != pieces_[p]) {
        return AssertionFailure() << "remaining pieces of player " << p << " are wrong";
      }
      if (game_.finished(p) != finished_[p]) {
        return AssertionFailure() << "player " << p << " is " << (finished_[p] ? "not " : "")
                                  << "finished, contrary to the oracle";
      }
    }
    if (game_.last_piece_sizes() != last_sizes_) {
      return AssertionFailure() << "last piece sizes are wrong";
    }
    if (game_.is_terminal() != model_terminal()) {
      return AssertionFailure() << "is_terminal is " << game_.is_terminal();
    }
    return AssertionSuccess();
  }

  AssertionResult check_end() {
    const Board& board = game_.board();
    if (!game_.get_legal_tiles().empty()) return AssertionFailure() << "legal tiles at the end";
    uint32_t covered = 0;
    for (uint32_t pos = 0; pos < board.cell_count(); ++pos) covered += owner_of(board, pos) >= 0;
    if (game_.history().size() != covered) {
      return AssertionFailure() << "history holds " << game_.history().size() << " tiles but "
                                << covered << " cells are covered";
    }
    for (const HistoryEntry& entry : game_.history()) {
      if (owner_of(board, uint32_t(entry.tile)) != entry.player) {
        return AssertionFailure() << "tile " << entry.tile << " of the history is not owned by "
                                  << "player " << entry.player;
      }
    }
    return check_scores_and_payoff();
  }

  AssertionResult check_scores_and_payoff() {
    std::array<uint32_t, kPlayers> pieces_left{};
    for (uint32_t p = 0; p < kPlayers; ++p) {
      pieces_left[p] = uint32_t(pieces_[p].size());
      stats_.emptied_hands += pieces_[p].empty();
    }
    const Scores expected = oracle_scores(game_.board(), pieces_left, last_sizes_);
    const Scores scores = game_.board().get_scores(game_.last_piece_sizes());
    if (scores != expected) {
      return AssertionFailure() << "scores " << ::testing::PrintToString(scores) << ", expected "
                                << ::testing::PrintToString(expected);
    }
    const Payoff payoff = game_.get_payoff();
    if (payoff != oracle_payoff(expected)) {
      return AssertionFailure() << "payoff " << ::testing::PrintToString(payoff) << " for scores "
                                << ::testing::PrintToString(scores);
    }
    ++stats_.games_by_winner_count[std::count_if(payoff.begin(), payoff.end(),
                                                 [](float share) { return share > 0; })];
    return AssertionSuccess();
  }

  Game game_;
  std::mt19937_64 rng_;
  RandomGameStats& stats_;
  std::array<std::vector<uint32_t>, kPlayers> pieces_;
  std::array<bool, kPlayers> finished_{};
  PieceSizes last_sizes_{};
  uint32_t player_ = 0;
  // The oracle's Moves of the player to move that cover every chosen tile, sorted.
  std::vector<OracleMove> consistent_;
  std::vector<uint32_t> chosen_;
};

}  // namespace

RandomGameStats check_random_games(uint32_t dim, uint32_t games, uint64_t seed) {
  RandomGameStats stats;
  for (uint32_t g = 0; g < games; ++g) {
    const uint64_t game_seed = seed + g;
    RandomGame game(dim, game_seed, stats);
    AssertionResult result = game.play();
    if (!result) {
      ADD_FAILURE() << "random game " << g << " on a board of " << dim << " (seed " << game_seed
                    << "), after " << game.game().history().size() << " tiles, player "
                    << game.game().player() << " to move: " << result.message();
      continue;
    }
    ++stats.games;
  }
  return stats;
}

uint32_t scaled_game_count(uint32_t default_count) {
  double factor = TAVLOX_DEFAULT_RANDOM_GAME_FACTOR;
  if (const char* text = std::getenv("TAVLOX_RANDOM_GAME_FACTOR")) {
    char* end = nullptr;
    const double parsed = std::strtod(text, &end);
    if (end != text && parsed > 0) factor = parsed;
  }
  return uint32_t(std::max(1.0, std::round(default_count * factor)));
}

}  // namespace tavlox::testing
