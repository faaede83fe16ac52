#include "action_choice.h"

namespace tavlox::self_play {

uint32_t sampled_action(const VisitDist& dist, Rng& rng) {
  uint32_t total = 0;
  for (const auto& [action, visits] : dist) total += visits;
  const float r = rng.uniform();
  float share_sum = 0.0f;
  for (const auto& [action, visits] : dist) {
    share_sum += float(visits) / float(total);
    if (share_sum > r) return action;
  }
  // Rounding, or a total of 0 that makes every share NaN, keeps the sum from passing r.
  return dist.back().first;
}

uint32_t greedy_action(const VisitDist& dist) {
  auto best = dist.front();
  for (const auto& pair : dist) {
    if (pair.second >= best.second) best = pair;
  }
  return best.first;
}

}  // namespace tavlox::self_play
