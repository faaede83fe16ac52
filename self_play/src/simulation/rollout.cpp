#include "rollout.h"

#include <algorithm>
#include <cmath>

namespace tavlox::self_play {

Payoff final_worth(const Game& game, float temperature) {
  if (temperature <= 0.0f) return game.get_payoff();
  const Scores scores = game.board().get_scores(game.last_piece_sizes());
  const int32_t best = *std::max_element(scores.begin(), scores.end());
  Payoff worth{};
  float total = 0.0f;
  for (uint32_t p = 0; p < kPlayers; ++p) {
    worth[p] = std::exp(float(scores[p] - best) / temperature);
    total += worth[p];
  }
  for (float& w : worth) w /= total;
  return worth;
}

std::optional<Payoff> play_out(ReferenceKind kind, Game& game, Rng& rng,
                               std::vector<ReferencePlayer>& players) {
  if (players.empty()) players.assign(kPlayers, ReferencePlayer(kind));
  // A player's plan from an earlier play-out says nothing about this one.
  for (ReferencePlayer& player : players) player.forget_plan();
  while (!game.is_terminal()) {
    const uint32_t tile = players[game.player()].choose(game, rng);
    if (game.apply(tile)) return std::nullopt;
  }
  return game.get_payoff();
}

void mix_rollouts(const Rollouts& rollouts, Game& game, Rng& rng, RolloutScratch& scratch,
                  ValueVector& values) {
  Payoff sum{};
  uint32_t counted = 0;
  for (std::size_t k = 0; k < rollouts.count; ++k) {
    Game* start = &game;
    if (k + 1 < rollouts.count) {
      // Assignment reuses the copy's buffers from one leaf to the next.
      if (scratch.spare) {
        *scratch.spare = game;
      } else {
        scratch.spare.emplace(game);
      }
      start = &*scratch.spare;
    }
    const std::optional<Payoff> payoff = play_out(rollouts.player, *start, rng, scratch.players);
    if (!payoff) continue;
    const Payoff worth =
        rollouts.temperature > 0.0f ? final_worth(*start, rollouts.temperature) : *payoff;
    for (uint32_t p = 0; p < kPlayers; ++p) sum[p] += worth[p];
    ++counted;
  }
  if (counted == 0) return;
  for (std::size_t i = 0; i < values.size() && i < sum.size(); ++i) {
    values[i] = (1.0f - rollouts.weight) * values[i] + rollouts.weight * sum[i] / float(counted);
  }
}

}  // namespace tavlox::self_play
