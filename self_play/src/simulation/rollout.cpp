#include "rollout.h"

namespace tavlox::self_play {

void mix_rollout(float weight, ReferenceKind kind, Game& game, Rng& rng,
                 std::vector<ReferencePlayer>& players, ValueVector& values) {
  if (players.empty()) players.assign(kPlayers, ReferencePlayer(kind));
  // A player's plan from an earlier play-out says nothing about this one.
  for (ReferencePlayer& player : players) player.forget_plan();
  while (!game.is_terminal()) {
    const uint32_t tile = players[game.player()].choose(game, rng);
    if (game.apply(tile)) return;
  }
  const Payoff payoff = game.get_payoff();
  for (std::size_t i = 0; i < values.size() && i < payoff.size(); ++i) {
    values[i] = (1.0f - weight) * values[i] + weight * payoff[i];
  }
}

}  // namespace tavlox::self_play
