#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "game.h"
#include "game_checks.h"

namespace tavlox::testing {
namespace {

// Counts gathered along one game whose tiles follow a fixed sequence. Any change of the
// rules moves at least one of them.
struct Signature {
  uint32_t first_tiles = 0;
  // Legal Moves at the start of the first eight turns (0 for turns the game does not reach).
  std::array<uint32_t, 8> opening_moves{};
  uint32_t turns = 0;
  uint64_t moves_over_all_turns = 0;
  uint64_t tiles_over_all_turns = 0;
  uint32_t game_tiles = 0;
  Scores scores{};

  friend bool operator==(const Signature&, const Signature&) = default;
};

void PrintTo(const Signature& s, std::ostream* out) {
  *out << "{" << s.first_tiles << ", {";
  for (uint32_t moves : s.opening_moves) *out << moves << ", ";
  *out << "}, " << s.turns << ", " << s.moves_over_all_turns << ", " << s.tiles_over_all_turns
       << ", " << s.game_tiles << ", {" << s.scores[0] << ", " << s.scores[1] << ", " << s.scores[2]
       << ", " << s.scores[3] << "}}";
}

// The fixed sequence: a 64-bit linear congruential generator picks among the legal tiles in
// ascending order, so the sequence does not depend on any library's random engine.
class TileSequence {
 public:
  uint32_t pick(const std::vector<uint32_t>& sorted_tiles) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return sorted_tiles[(state_ >> 33) % sorted_tiles.size()];
  }

 private:
  uint64_t state_ = 0x7a61u;
};

// Legal tiles at the start of the current turn: every cell of a consistent Move.
uint32_t turn_start_tiles(const Game& game) {
  std::vector<uint32_t> tiles;
  for (const PlacedMove& move : game.tile_moves().moves()) {
    tiles.insert(tiles.end(), move.cells.begin(), move.cells.begin() + move.size);
  }
  std::sort(tiles.begin(), tiles.end());
  return uint32_t(std::unique(tiles.begin(), tiles.end()) - tiles.begin());
}

Signature signature_of_game(uint32_t dim) {
  Signature s;
  Game game = Game::reset(dim);
  TileSequence sequence;
  s.first_tiles = uint32_t(game.get_legal_tiles().size());
  while (!game.is_terminal()) {
    if (game.tile_moves().chosen_count() == 0) {
      const uint32_t moves = uint32_t(game.tile_moves().moves().size());
      if (s.turns < s.opening_moves.size()) s.opening_moves[s.turns] = moves;
      ++s.turns;
      s.moves_over_all_turns += moves;
      s.tiles_over_all_turns += turn_start_tiles(game);
    }
    const uint32_t tile = sequence.pick(sorted_legal_tiles(game));
    if (auto error = game.apply(tile)) {
      ADD_FAILURE() << "legal tile " << tile << " rejected: " << *error;
      break;
    }
  }
  s.game_tiles = uint32_t(game.history().size());
  s.scores = game.board().get_scores(game.last_piece_sizes());
  return s;
}

struct SignatureCase {
  uint32_t dim;
  Signature expected;
};

class Signatures : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(Signatures, FixedSequenceReproducesTheCounts) {
  EXPECT_EQ(signature_of_game(GetParam().dim), GetParam().expected)
      << "fields: first tiles, Moves at the start of turns 1-8, turns, Moves and tiles summed "
         "over the turn starts, tiles of the game, scores";
}

// Counted once with the legality oracle.
INSTANTIATE_TEST_SUITE_P(
    Dims, Signatures,
    ::testing::Values(
        SignatureCase{4, {13, {56, 28, 2, 0, 0, 0, 0, 0}, 3, 86, 24, 12, {-84, -84, -89, -87}}},
        SignatureCase{5, {15, {58, 22, 49, 5, 3, 0, 0, 0}, 5, 137, 46, 23, {-84, -84, -84, -81}}},
        SignatureCase{7,
                      {15, {58, 52, 49, 49, 98, 40, 8, 5}, 11, 364, 103, 45, {-74, -77, -84, -76}}},
        SignatureCase{
            10,
            {15, {58, 58, 58, 58, 171, 121, 155, 155}, 19, 1117, 277, 75, {-70, -68, -72, -71}}},
        SignatureCase{
            14,
            {15, {58, 58, 58, 58, 182, 182, 197, 219}, 39, 3588, 799, 162, {-55, -44, -39, -56}}},
        SignatureCase{
            20,
            {15, {58, 58, 58, 58, 182, 182, 197, 219}, 63, 9915, 2251, 268, {15, -29, -39, -20}}}),
    [](const auto& info) { return "Dim" + std::to_string(info.param.dim); });

}  // namespace
}  // namespace tavlox::testing
