#include "reference_player.h"

#include <algorithm>

#include "fault.h"

namespace tavlox::self_play {
namespace {

bool covers_all(const PlacedMove& outer, const PlacedMove& inner) {
  for (uint32_t i = 0; i < inner.size; ++i) {
    if (!outer.covers(inner.cells[i])) return false;
  }
  return true;
}

// Whether the cell at (row, col) shares an edge with a cell of `move`.
bool touches_edge(const PlacedMove& move, uint32_t dim, int32_t row, int32_t col) {
  for (uint32_t i = 0; i < move.size; ++i) {
    const int32_t r = int32_t(move.cells[i] / dim), c = int32_t(move.cells[i] % dim);
    if (std::abs(r - row) + std::abs(c - col) == 1) return true;
  }
  return false;
}

// Anchor cells the player to move would gain by placing `move`: empty cells diagonal to it,
// not sharing an edge with the player's pieces or with the placement, not anchors already.
int32_t corners_gained(const Game& game, const PlacedMove& move) {
  const Board& board = game.board();
  const uint32_t player = game.player();
  const int32_t dim = int32_t(board.dim());
  std::array<uint32_t, 4 * kMaxPieceCells> gained;
  uint32_t count = 0;
  for (uint32_t i = 0; i < move.size; ++i) {
    const int32_t row = int32_t(move.cells[i]) / dim, col = int32_t(move.cells[i]) % dim;
    for (const auto& [dr, dc] : {std::pair{-1, -1}, {-1, 1}, {1, -1}, {1, 1}}) {
      const int32_t r = row + dr, c = col + dc;
      if (r < 0 || c < 0 || r >= dim || c >= dim) continue;
      const uint32_t cell = uint32_t(r * dim + c);
      if ((board.cell(cell) & blocked_bit(player)) != 0 || board.is_corner(player, cell)) continue;
      if (move.covers(cell) || touches_edge(move, uint32_t(dim), r, c)) continue;
      if (std::find(gained.begin(), gained.begin() + count, cell) != gained.begin() + count) {
        continue;
      }
      gained[count++] = cell;
    }
  }
  return int32_t(count);
}

}  // namespace

std::optional<ReferenceKind> reference_kind(std::string_view name) {
  for (std::size_t i = 0; i < kReferenceKinds; ++i) {
    if (kReferenceNames[i] == name) return ReferenceKind(i);
  }
  return std::nullopt;
}

void completable_moves(const Game& game, std::vector<uint32_t>& out) {
  out.clear();
  const std::vector<PlacedMove>& moves = game.tile_moves().moves();
  uint32_t largest = 0;
  for (const PlacedMove& move : moves) largest = std::max<uint32_t>(largest, move.size);
  for (uint32_t i = 0; i < moves.size(); ++i) {
    const PlacedMove& move = moves[i];
    const bool covered = move.size < largest &&
                         std::any_of(moves.begin(), moves.end(), [&](const PlacedMove& other) {
                           return other.size > move.size && covers_all(other, move);
                         });
    if (!covered) out.push_back(i);
  }
}

int32_t placement_gain(const Game& game, const PlacedMove& move) {
  int32_t taken = 0;
  for (uint32_t other = 0; other < kPlayers; ++other) {
    if (other == game.player() || game.finished(other)) continue;
    for (uint32_t i = 0; i < move.size; ++i) taken += game.board().is_corner(other, move.cells[i]);
  }
  return corners_gained(game, move) + taken;
}

ReferencePlayer::ReferencePlayer(ReferenceKind kind) : kind_(kind) {
  candidates_.reserve(256);
  best_.reserve(256);
  tiles_.reserve(256);
}

uint32_t ReferencePlayer::choose(const Game& game, Rng& rng) {
  if (kind_ == ReferenceKind::kRandomTiles) {
    game.legal_tiles(tiles_);
    if (tiles_.empty()) fail("ReferencePlayer::choose: no legal tile");
    return tiles_[rng.index(uint32_t(tiles_.size()))];
  }
  const TurnMoves& turn = game.tile_moves();
  // A plan stays valid while its own tiles are the only ones played since it was made.
  const bool planned =
      has_plan_ && turn.chosen_count() > 0 && game.history().size() == plan_history_ + plan_next_;
  if (!planned) {
    plan_ = game.tile_moves().moves().at(choose_placement(game, rng));
    plan_history_ = game.history().size();
    plan_next_ = 0;
    has_plan_ = true;
  }
  for (uint32_t i = 0; i < plan_.size; ++i) {
    if (turn.is_chosen(plan_.cells[i])) continue;
    ++plan_next_;
    return plan_.cells[i];
  }
  fail("ReferencePlayer::choose: the placement has no tile left to play");
}

uint32_t ReferencePlayer::choose_placement(const Game& game, Rng& rng) {
  if (kind_ == ReferenceKind::kRandomPiece) {
    completable_moves(game, candidates_);
    if (candidates_.empty()) fail("ReferencePlayer::choose: no legal placement");
    return candidates_[rng.index(uint32_t(candidates_.size()))];
  }
  return pick_best(game, rng);
}

// The largest placements (always completable: no larger one can cover them), and for the
// heuristic among those the ones of the highest gain; a uniformly random one of them.
uint32_t ReferencePlayer::pick_best(const Game& game, Rng& rng) {
  const std::vector<PlacedMove>& moves = game.tile_moves().moves();
  if (moves.empty()) fail("ReferencePlayer::choose: no legal placement");
  uint32_t largest = 0;
  for (const PlacedMove& move : moves) largest = std::max<uint32_t>(largest, move.size);
  best_.clear();
  int32_t best_gain = 0;
  for (uint32_t i = 0; i < moves.size(); ++i) {
    if (moves[i].size != largest) continue;
    const int32_t gain =
        kind_ == ReferenceKind::kHeuristic ? placement_gain(game, moves[i]) : int32_t{0};
    if (best_.empty() || gain > best_gain) {
      best_.clear();
      best_gain = gain;
    }
    if (gain == best_gain) best_.push_back(i);
  }
  return best_[rng.index(uint32_t(best_.size()))];
}

}  // namespace tavlox::self_play
