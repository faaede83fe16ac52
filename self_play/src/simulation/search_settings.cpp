#include "search_settings.h"

#include <cmath>

namespace tavlox::self_play {

std::optional<std::string> search_settings_error(const SearchSettings& settings) {
  if (settings.fpu_reduction && !std::isfinite(*settings.fpu_reduction)) {
    return "the first-play urgency reduction must be a finite number";
  }
  if (settings.gumbel_actions == 0) return "Gumbel actions must be at least 1";
  if (!(settings.c_visit >= 0.0f) || !std::isfinite(settings.c_visit)) {
    return "c_visit must be a finite number of at least 0";
  }
  if (!(settings.c_scale > 0.0f) || !std::isfinite(settings.c_scale)) {
    return "c_scale must be a finite number above 0";
  }
  if (!(settings.full_search_probability > 0.0f && settings.full_search_probability <= 1.0f)) {
    return "the full search probability must lie in (0, 1]";
  }
  if (!(settings.rollout_temperature >= 0.0f) || !std::isfinite(settings.rollout_temperature)) {
    return "the play-out temperature must be a finite number of at least 0";
  }
  return std::nullopt;
}

std::optional<std::string> match_settings_error(const MatchSettings& settings) {
  if (settings.opening == OpeningKind::kRandom && settings.random_tiles == 0) {
    return "a random opening needs at least 1 tile";
  }
  if (settings.opening != OpeningKind::kRandom && settings.random_tiles != 0) {
    return "random opening tiles are only for a random opening";
  }
  return std::nullopt;
}

}  // namespace tavlox::self_play
