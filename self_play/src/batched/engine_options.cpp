#include "engine_options.h"

#include "matches.h"
#include "pieces.h"

namespace tavlox::self_play {
namespace {

constexpr std::size_t kMaxSearchThreads = 1024;
constexpr std::size_t kMaxSlots = 16;

}  // namespace

std::size_t network_count(JobKind kind) {
  return kind == JobKind::kAgainstBaseline || kind == JobKind::kHeadToHead ? 2 : 1;
}

uint32_t board_dim(const EngineOptions& options) {
  if (options.kind == JobKind::kAgainstBaseline) return kTestGameDim;
  return uint32_t(options.config.dim);
}

std::optional<std::string> options_error(const EngineOptions& options) {
  if (options.kind != JobKind::kAgainstBaseline &&
      (options.config.dim < kMinDim || options.config.dim > kMaxDim)) {
    return "the board size must lie in " + std::to_string(kMinDim) + " to " +
           std::to_string(kMaxDim) + ", not " + std::to_string(options.config.dim);
  }
  if (options.games_in_flight == 0) return "games in flight must be at least 1";
  if (!options.game_numbers.empty() && options.game_numbers.size() != options.games) {
    return "the game numbers must be as many as the games";
  }
  if (options.search_threads == 0 || options.search_threads > kMaxSearchThreads) {
    return "search threads must lie in 1 to " + std::to_string(kMaxSearchThreads);
  }
  if (options.batch_size == 0) return "the batch size must be at least 1";
  if (options.slots < 2 || options.slots > kMaxSlots) {
    return "batch slots must lie in 2 to " + std::to_string(kMaxSlots);
  }
  if (auto error = search_settings_error(options.search)) return error;
  if (auto error = match_settings_error(options.match)) return error;
  return std::nullopt;
}

}  // namespace tavlox::self_play
