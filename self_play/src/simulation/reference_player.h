#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "game.h"
#include "random.h"

namespace tavlox::self_play {

// Hand-written players, the fixed yardsticks of the evaluation matches.
enum class ReferenceKind : uint8_t {
  kRandomTiles,   // a uniformly random legal tile
  kRandomPiece,   // a uniformly random whole placement
  kLargestPiece,  // a random placement among those of the largest piece that fits
  kHeuristic,     // the largest piece, ties broken by corners gained and anchors taken
};

constexpr std::size_t kReferenceKinds = 4;
// The names the Python side uses, in the order of ReferenceKind.
constexpr std::array<std::string_view, kReferenceKinds> kReferenceNames = {
    "random-tiles", "random-piece", "largest-piece", "heuristic"};

std::optional<ReferenceKind> reference_kind(std::string_view name);

// The placements of the turn that playing their tiles one by one completes: those whose cells
// no other consistent placement covers as well (such a placement would leave a tile to play).
// Indices into game.tile_moves().moves(), appended to `out` after clearing it.
void completable_moves(const Game& game, std::vector<uint32_t>& out);

// The heuristic's value of a placement for the player to move: new anchor cells the player
// gains plus anchor cells of the other players still in the game that it covers.
int32_t placement_gain(const Game& game, const PlacedMove& move);

// One seat's reference player. A whole-piece player chooses a placement at the start of its
// turn and then plays that placement's tiles one by one, each legal under the rules; its
// choice is kept between the calls of the turn. Not shared between games.
class ReferencePlayer {
 public:
  explicit ReferencePlayer(ReferenceKind kind);

  // The tile to play in `game`, which must not be over.
  uint32_t choose(const Game& game, Rng& rng);
  // Drops the placement chosen for the current turn, for a player that moves to another game.
  void forget_plan() { has_plan_ = false; }

 private:
  uint32_t choose_placement(const Game& game, Rng& rng);
  uint32_t pick_best(const Game& game, Rng& rng);

  ReferenceKind kind_;
  // The chosen placement's cells and the tiles played so far at which it stays valid.
  PlacedMove plan_{};
  std::size_t plan_history_ = 0;
  uint32_t plan_next_ = 0;
  bool has_plan_ = false;
  std::vector<uint32_t> candidates_;
  std::vector<uint32_t> best_;
  std::vector<uint32_t> tiles_;
};

}  // namespace tavlox::self_play
