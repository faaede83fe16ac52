#include "settings_table.h"

#include <charconv>
#include <cmath>

#include "pieces.h"
#include "reference_player.h"

namespace tavlox::self_play {
namespace {

using Value = SettingValue;
using Error = std::optional<std::string>;

constexpr SearchSettings kSearchDefaults{};
constexpr MatchSettings kMatchDefaults{};

constexpr std::string_view kReferenceChoices = "random-tiles,random-piece,largest-piece,heuristic";

std::string number_text(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  std::string text = std::to_string(value);
  text.erase(text.find_last_not_of('0') + 1);
  return text;
}

// The one reference player named `text`; the choices have been checked.
ReferenceKind reference_of(std::string_view text) {
  return reference_kind(text).value_or(ReferenceKind::kRandomTiles);
}

}  // namespace

template <typename Settings>
std::optional<std::string> range_error(const Setting<Settings>& setting, double value) {
  const bool above_min = setting.min_open ? value > setting.min : value >= setting.min;
  if (above_min && value <= setting.max && !std::isnan(value)) return std::nullopt;
  std::string text(setting.name);
  if (setting.max != kUnbounded) {
    text += " must lie in " + std::string(setting.min_open ? "(" : "[") + number_text(setting.min) +
            ", " + number_text(setting.max) + "]";
  } else if (setting.min == 0.0) {
    text += setting.min_open ? " must be positive" : " must not be negative";
  } else {
    text += " must be at least " + number_text(setting.min);
  }
  return text + ", got " + number_text(value);
}

template <typename Settings>
std::optional<std::string> choice_error(const Setting<Settings>& setting, std::string_view text) {
  std::string_view rest = setting.choices;
  if (rest.empty()) return std::nullopt;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    if (rest.substr(0, comma) == text) return std::nullopt;
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  std::string choices(setting.choices);
  for (char& c : choices) {
    if (c == ',') c = ' ';
  }
  return std::string(setting.name) + " must be one of " + choices + ", got '" + std::string(text) +
         "'";
}

template std::optional<std::string> range_error(const Setting<Config>&, double);
template std::optional<std::string> range_error(const Setting<SearchSettings>&, double);
template std::optional<std::string> range_error(const Setting<MatchSettings>&, double);
template std::optional<std::string> choice_error(const Setting<Config>&, std::string_view);
template std::optional<std::string> choice_error(const Setting<SearchSettings>&, std::string_view);
template std::optional<std::string> choice_error(const Setting<MatchSettings>&, std::string_view);

bool parse_opening(std::string_view text, MatchSettings& out) {
  if (text == "none" || text == "first-tile") {
    out.opening = text == "none" ? OpeningKind::kNone : OpeningKind::kFirstTile;
    out.random_tiles = 0;
    return true;
  }
  constexpr std::string_view kRandom = "random:";
  if (text.substr(0, kRandom.size()) != kRandom) return false;
  const std::string_view count = text.substr(kRandom.size());
  std::size_t tiles = 0;
  const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), tiles);
  if (error != std::errc() || end != count.data() + count.size() || count.empty() || tiles < 1) {
    return false;
  }
  out.opening = OpeningKind::kRandom;
  out.random_tiles = tiles;
  return true;
}

const std::array<Setting<Config>, 8> kConfigSettings{{
    {"dim", SettingType::kInteger, 20, "", kMinDim, false, kMaxDim, "",
     "board side (default {default}, or the checkpoint's)",
     [](Config& c, const Value& v) -> Error { return c.dim = std::size_t(v.integer), Error(); }},
    {"rep", SettingType::kInteger, 1, "", 1, false, 2, "",
     "state layout sent to the network: 1 channels first, 2 channels last",
     [](Config& c, const Value& v) -> Error { return c.rep = std::size_t(v.integer), Error(); }},
    {"sims_per_move", SettingType::kInteger, 64, "", 1, false, kUnbounded, "",
     "search simulations before every move (default {default})",
     [](Config& c, const Value& v) -> Error {
       return c.sims_per_move = std::size_t(v.integer), Error();
     }},
    {"sample_moves", SettingType::kInteger, 30, "", 0, false, kUnbounded, "",
     "moves sampled from the visit counts at the start of a game (default {default})",
     [](Config& c, const Value& v) -> Error {
       return c.sample_moves = std::size_t(v.integer), Error();
     }},
    {"c_base", SettingType::kReal, 19652.0, "", 0, true, kUnbounded, "",
     "exploration base constant",
     [](Config& c, const Value& v) -> Error { return c.c_base = float(v.real), Error(); }},
    {"c_init", SettingType::kReal, 1.25, "", 0, false, kUnbounded, "",
     "exploration initial constant",
     [](Config& c, const Value& v) -> Error { return c.c_init = float(v.real), Error(); }},
    {"dirichlet_alpha", SettingType::kReal, 0.3, "", 0, true, kUnbounded, "",
     "concentration of the root noise (default {default})",
     [](Config& c, const Value& v) -> Error { return c.dirichlet_alpha = float(v.real), Error(); }},
    {"exploration_fraction", SettingType::kReal, 0.25, "", 0, false, 1, "",
     "weight of the root noise in the root priors (default {default})",
     [](Config& c, const Value& v) -> Error {
       return c.exploration_fraction = float(v.real), Error();
     }},
}};

const std::array<Setting<SearchSettings>, 11> kSearchSettings{{
    {"root", SettingType::kText, 0, "puct", 0, false, kUnbounded, "puct,gumbel",
     "puct: every simulation selects by PUCT with Dirichlet noise at the root (default); "
     "gumbel: Gumbel top-m sampling, sequential halving, completed-Q policy targets",
     [](SearchSettings& s, const Value& v) -> Error {
       s.root = v.text == "gumbel" ? RootKind::kGumbel : RootKind::kPuct;
       return std::nullopt;
     }},
    {"fpu_reduction", SettingType::kOptionalReal, 0, "", -kUnbounded, false, kUnbounded, "",
     "an unvisited child scores its parent's mean visited value minus X (default: it scores 0)",
     [](SearchSettings& s, const Value& v) -> Error {
       if (v.none) return s.fpu_reduction.reset(), Error();
       if (!std::isfinite(v.real)) {
         return "fpu_reduction must be a finite number, got " + number_text(v.real);
       }
       return s.fpu_reduction = float(v.real), Error();
     }},
    {"gumbel_actions", SettingType::kInteger, double(kSearchDefaults.gumbel_actions), "", 1, false,
     kUnbounded, "", "actions a Gumbel root considers (default {default})",
     [](SearchSettings& s, const Value& v) -> Error {
       return s.gumbel_actions = std::size_t(v.integer), Error();
     }},
    {"c_visit", SettingType::kReal, double(kSearchDefaults.c_visit), "", 0, false, kUnbounded, "",
     "Gumbel root: the visit offset of the value transform (c_visit + max visits) * c_scale * q "
     "(default {default})",
     [](SearchSettings& s, const Value& v) -> Error { return s.c_visit = float(v.real), Error(); }},
    {"c_scale", SettingType::kReal, double(kSearchDefaults.c_scale), "", 0, true, kUnbounded, "",
     "Gumbel root: the scale of the value transform (default {default})",
     [](SearchSettings& s, const Value& v) -> Error { return s.c_scale = float(v.real), Error(); }},
    {"full_search_probability", SettingType::kReal, double(kSearchDefaults.full_search_probability),
     "", 0, true, 1, "",
     "share of training moves searched fully and recorded; the others get --fast-simulations, "
     "no noise, and are not trained on (default {default})",
     [](SearchSettings& s, const Value& v) -> Error {
       return s.full_search_probability = float(v.real), Error();
     }},
    {"fast_simulations", SettingType::kInteger, double(kSearchDefaults.fast_simulations), "", 0,
     false, kUnbounded, "", "simulations of the unrecorded fast moves (default {default})",
     [](SearchSettings& s, const Value& v) -> Error {
       return s.fast_simulations = std::size_t(v.integer), Error();
     }},
    {"rollout_weight", SettingType::kReal, double(kSearchDefaults.rollout_weight), "", 0, false, 1,
     "",
     "share of each leaf's value taken from one game played out by reference players, the rest "
     "from the network (default {default}: the network alone)",
     [](SearchSettings& s, const Value& v) -> Error {
       return s.rollout_weight = float(v.real), Error();
     }},
    {"rollout_player", SettingType::kText, 0, "largest-piece", 0, false, kUnbounded,
     kReferenceChoices, "the reference player in every seat of a play-out (default {default})",
     [](SearchSettings& s, const Value& v) -> Error {
       return s.rollout_player = reference_of(v.text), Error();
     }},
    {"rollouts", SettingType::kInteger, double(kSearchDefaults.rollouts), "", 1, false, kUnbounded,
     "",
     "games played out from each leaf; their mean payoff is the play-outs' share of its value "
     "(default {default})",
     [](SearchSettings& s, const Value& v) -> Error {
       return s.rollouts = std::size_t(v.integer), Error();
     }},
    {"rollout_temperature", SettingType::kReal, double(kSearchDefaults.rollout_temperature), "", 0,
     false, kUnbounded, "",
     "0: a play-out is worth its payoff (default); T: a softmax of the players' final scores over "
     "T cells, so that a wide win counts more than a narrow one",
     [](SearchSettings& s, const Value& v) -> Error {
       return s.rollout_temperature = float(v.real), Error();
     }},
}};

const std::array<Setting<MatchSettings>, 5> kMatchSettings{{
    {"simulations", SettingType::kInteger, double(kMatchDefaults.simulations), "", 0, false,
     kUnbounded, "",
     "0: match moves greedy on the network's policy (default); N: a search with N simulations, "
     "no noise, the best move",
     [](MatchSettings& m, const Value& v) -> Error {
       return m.simulations = std::size_t(v.integer), Error();
     }},
    {"opening", SettingType::kText, 0, "none", 0, false, kUnbounded, "",
     "match openings: none (default), first-tile (every legal first tile opens equally many "
     "games) or random:K (the first K tiles uniformly random legal)",
     [](MatchSettings& m, const Value& v) -> Error {
       if (parse_opening(v.text, m)) return std::nullopt;
       return "opening must be none, first-tile or random:K with K at least 1, got '" +
              std::string(v.text) + "'";
     }},
    {"opponents", SettingType::kText, 0, "random-tiles", 0, false, kUnbounded, kReferenceChoices,
     "the reference players in the other seats of a match against reference players",
     [](MatchSettings& m, const Value& v) -> Error {
       return m.opponents = reference_of(v.text), Error();
     }},
    {"seats", SettingType::kText, 0, "first", 0, false, kUnbounded, "first,rotate",
     "the measured seat: 0 (first) or game number % 4 (rotate)",
     [](MatchSettings& m, const Value& v) -> Error {
       return m.rotate_seats = v.text == "rotate", Error();
     }},
    {"subject", SettingType::kOptionalText, 0, "", 0, false, kUnbounded, kReferenceChoices,
     "a reference player in the measured seat instead of the network (default: the network)",
     [](MatchSettings& m, const Value& v) -> Error {
       if (v.none) return m.subject.reset(), Error();
       return m.subject = reference_of(v.text), Error();
     }},
}};

Config default_config() {
  Config config{};
  for (const auto& setting : kConfigSettings) {
    SettingValue value;
    value.integer = int64_t(setting.default_number);
    value.real = setting.default_number;
    setting.store(config, value);
  }
  return config;
}

}  // namespace tavlox::self_play
