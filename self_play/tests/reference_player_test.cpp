#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "matches.h"
#include "reference_player.h"
#include "scripted_evaluator.h"

namespace tavlox::self_play {
namespace {

using test_support::CapturingOutput;
using test_support::ScriptedEvaluator;
using test_support::seeded_rng;

std::vector<uint16_t> cells_of(const PlacedMove& move) {
  return {move.cells.begin(), move.cells.begin() + move.size};
}

// The placements a player of `kind` may choose at the start of a turn, as cell lists.
std::set<std::vector<uint16_t>> allowed_placements(ReferenceKind kind, const Game& game) {
  const auto& moves = game.tile_moves().moves();
  std::vector<uint32_t> indices;
  completable_moves(game, indices);
  uint32_t largest = 0;
  for (const PlacedMove& move : moves) largest = std::max<uint32_t>(largest, move.size);
  int32_t best_gain = -1;
  for (const PlacedMove& move : moves) {
    if (move.size == largest) best_gain = std::max(best_gain, placement_gain(game, move));
  }
  std::set<std::vector<uint16_t>> allowed;
  for (uint32_t i : indices) {
    const PlacedMove& move = moves[i];
    const bool largest_only = kind != ReferenceKind::kRandomPiece;
    if (largest_only && move.size != largest) continue;
    if (kind == ReferenceKind::kHeuristic && placement_gain(game, move) != best_gain) continue;
    allowed.insert(cells_of(move));
  }
  return allowed;
}

class ReferencePlayerTest : public testing::TestWithParam<ReferenceKind> {};

// Whole games of four players of one kind: every tile is legal under the rules, and every
// turn of a whole-piece player places one placement it was allowed to choose at the turn's
// start (the largest, the heuristic's best), completing exactly that piece.
TEST_P(ReferencePlayerTest, PlaysOnlyLegalWholePiecesOfItsKind) {
  const ReferenceKind kind = GetParam();
  for (uint32_t dim : {5u, 9u, 14u}) {
    for (uint32_t seed = 0; seed < 3; ++seed) {
      Rng rng = seeded_rng(seed);
      Game game = Game::reset(dim);
      std::array<ReferencePlayer, kPlayers> players{ReferencePlayer(kind), ReferencePlayer(kind),
                                                    ReferencePlayer(kind), ReferencePlayer(kind)};
      while (!game.is_terminal()) {
        const uint32_t player = game.player();
        const auto allowed = allowed_placements(kind, game);
        const uint32_t pieces = game.board().piece_count(player);
        std::vector<uint16_t> placed;
        do {
          const uint32_t tile = players[player].choose(game, rng);
          ASSERT_EQ(game.apply(tile), std::nullopt) << "dim " << dim << " seed " << seed;
          placed.push_back(uint16_t(tile));
        } while (!game.is_terminal() && game.player() == player &&
                 game.board().piece_count(player) == pieces);
        ASSERT_EQ(game.board().piece_count(player), pieces - 1) << "the turn placed no piece";
        if (kind == ReferenceKind::kRandomTiles) continue;
        std::sort(placed.begin(), placed.end());
        EXPECT_TRUE(allowed.contains(placed))
            << "player " << player << " placed a piece its kind would not choose, dim " << dim;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReferencePlayerTest,
                         testing::Values(ReferenceKind::kRandomTiles, ReferenceKind::kRandomPiece,
                                         ReferenceKind::kLargestPiece, ReferenceKind::kHeuristic),
                         [](const auto& info) {
                           std::string name(kReferenceNames[std::size_t(info.param)]);
                           std::erase(name, '-');
                           return name;
                         });

// A match against reference players reports the measured seat's payoff; with rotated seats
// the network moves only in seat game % 4, and a reference subject never asks it.
TEST(AgainstReferenceGameTest, MeasuresTheRotatingSeat) {
  const Config config = test_support::test_config(7, 2);
  const SearchSettings search;
  for (const bool reference_subject : {false, true}) {
    MatchSettings match;
    match.opponents = ReferenceKind::kLargestPiece;
    match.rotate_seats = true;
    if (reference_subject) match.subject = ReferenceKind::kHeuristic;
    const MatchPlay play{config, search, match};
    for (uint64_t number = 0; number < 8; ++number) {
      std::set<uint32_t> seats_asked;
      ScriptedEvaluator model([&](const Game& game, NetworkOutput& out) {
        seats_asked.insert(game.player());
        ScriptedEvaluator::uniform(game, out);
      });
      Rng rng = seeded_rng(uint32_t(number));
      CapturingOutput text;
      const auto payoff = against_reference_game(model, play, number, rng, text);
      ASSERT_TRUE(std::holds_alternative<float>(payoff)) << text.text();
      const float value = std::get<float>(payoff);
      EXPECT_TRUE(value >= 0.0f && value <= 1.0f) << value;
      const std::set<uint32_t> expected =
          reference_subject ? std::set<uint32_t>{} : std::set<uint32_t>{uint32_t(number % 4)};
      EXPECT_EQ(seats_asked, expected) << "game " << number;
    }
  }
}

}  // namespace
}  // namespace tavlox::self_play
