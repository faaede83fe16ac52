#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "evaluate.h"
#include "game.h"
#include "random.h"
#include "reference_player.h"

namespace tavlox::self_play {

// How a leaf is played out: `count` games by reference players of kind `player` in every
// seat, whose mean worth takes the share `weight` of the leaf's values. A game is worth its
// payoff, or with `temperature` above 0 the softmax of its final scores over that many cells:
// one play-out then tells a wide win from a narrow one and a close second from a distant one.
struct Rollouts {
  float weight = 0.0f;
  ReferenceKind player = ReferenceKind::kLargestPiece;
  std::size_t count = 1;
  float temperature = 0.0f;
};

// The finished `game`'s payoff, or with `temperature` above 0 the softmax of its final scores
// over `temperature`.
Payoff final_worth(const Game& game, float temperature);

// What play-outs reuse from one leaf to the next: a reference player per seat, made at the
// first play-out, and the copy of the leaf that every play-out but the last starts from.
struct RolloutScratch {
  std::vector<ReferencePlayer> players;
  std::optional<Game> spare;
};

// Plays `game` (not over) to its end with a reference player of `kind` in every seat, kept in
// `players` between calls, and returns its payoff; nothing when a tile is rejected, which
// ends the play-out early.
std::optional<Payoff> play_out(ReferenceKind kind, Game& game, Rng& rng,
                               std::vector<ReferencePlayer>& players);

// Plays out the leaf `game` (not over; the last play-out consumes it) and mixes the mean
// payoff into `values` (absolute player order): values = (1 - weight) * values + weight *
// mean. Rejected play-outs are left out of the mean; with none left, `values` stay as they
// were.
void mix_rollouts(const Rollouts& rollouts, Game& game, Rng& rng, RolloutScratch& scratch,
                  ValueVector& values);

}  // namespace tavlox::self_play
