#include <gtest/gtest.h>

#include <string>

#include "settings_table.h"

namespace tavlox::self_play {
namespace {

// Each setting's default, as it is stored into the settings.
template <typename Settings>
SettingValue default_value(const Setting<Settings>& setting) {
  SettingValue value;
  value.none =
      setting.type == SettingType::kOptionalReal || setting.type == SettingType::kOptionalText;
  value.integer = int64_t(setting.default_number);
  value.real = setting.default_number;
  value.text = setting.default_text;
  return value;
}

template <typename Settings, std::size_t N>
Settings stored_defaults(const std::array<Setting<Settings>, N>& table, Settings settings) {
  for (const auto& setting : table) {
    EXPECT_FALSE(setting.store(settings, default_value(setting))) << setting.name;
    EXPECT_FALSE(range_error(setting, setting.default_number)) << setting.name;
    if (setting.type == SettingType::kText) {
      EXPECT_FALSE(choice_error(setting, setting.default_text)) << setting.name;
    }
  }
  return settings;
}

// The tables' defaults are the settings' own: storing them leaves default settings unchanged.
TEST(SettingsTable, DefaultsAreTheSettingsDefaults) {
  SearchSettings search;
  search.root = RootKind::kGumbel;
  search.fpu_reduction = 0.5f;
  search.gumbel_actions = 3;
  const SearchSettings stored = stored_defaults(kSearchSettings, search);
  const SearchSettings defaults;
  EXPECT_EQ(stored.root, defaults.root);
  EXPECT_EQ(stored.fpu_reduction, defaults.fpu_reduction);
  EXPECT_EQ(stored.gumbel_actions, defaults.gumbel_actions);
  EXPECT_EQ(stored.c_visit, defaults.c_visit);
  EXPECT_EQ(stored.c_scale, defaults.c_scale);
  EXPECT_EQ(stored.full_search_probability, defaults.full_search_probability);
  EXPECT_EQ(stored.fast_simulations, defaults.fast_simulations);

  MatchSettings match;
  match.opening = OpeningKind::kRandom;
  match.random_tiles = 2;
  match.rotate_seats = true;
  match.subject = ReferenceKind::kHeuristic;
  const MatchSettings stored_match = stored_defaults(kMatchSettings, match);
  EXPECT_EQ(stored_match.simulations, MatchSettings{}.simulations);
  EXPECT_EQ(stored_match.opening, OpeningKind::kNone);
  EXPECT_EQ(stored_match.random_tiles, 0u);
  EXPECT_EQ(stored_match.opponents, MatchSettings{}.opponents);
  EXPECT_FALSE(stored_match.rotate_seats);
  EXPECT_FALSE(stored_match.subject);

  const Config config = stored_defaults(kConfigSettings, Config{});
  EXPECT_EQ(config.sims_per_move, 64u);
  EXPECT_EQ(config.c_base, 19652.0f);
  EXPECT_EQ(default_config().c_init, config.c_init);
  EXPECT_EQ(default_number(kConfigSettings, "dirichlet_alpha"), 0.3);
}

struct RangeCase {
  std::string_view name;
  double value;
  std::string message;  // empty: accepted
};

class SettingsRangeTest : public testing::TestWithParam<RangeCase> {};

// One message form, chosen by the bounds: at least, not negative, positive, or an interval.
TEST_P(SettingsRangeTest, OutOfRangeNamesTheSettingAndTheBound) {
  const RangeCase c = GetParam();
  for (const auto& setting : kConfigSettings) {
    if (setting.name != c.name) continue;
    EXPECT_EQ(range_error(setting, c.value).value_or(""), c.message);
    return;
  }
  ADD_FAILURE() << "no setting " << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    ConfigSettings, SettingsRangeTest,
    testing::Values(RangeCase{"sims_per_move", 0, "sims_per_move must be at least 1, got 0"},
                    RangeCase{"sims_per_move", 1, ""},
                    RangeCase{"sample_moves", -1, "sample_moves must not be negative, got -1"},
                    RangeCase{"c_base", 0, "c_base must be positive, got 0"},
                    RangeCase{"exploration_fraction", 1.5,
                              "exploration_fraction must lie in [0, 1], got 1.5"},
                    RangeCase{"dim", 3, "dim must lie in [4, 256], got 3"}));

TEST(SettingsTable, OpeningsAndChoices) {
  MatchSettings match;
  EXPECT_TRUE(parse_opening("random:3", match));
  EXPECT_EQ(match.opening, OpeningKind::kRandom);
  EXPECT_EQ(match.random_tiles, 3u);
  for (std::string_view bad : {"random:0", "random:", "random:2x", "first", ""}) {
    EXPECT_FALSE(parse_opening(bad, match)) << bad;
  }
  EXPECT_EQ(choice_error(kSearchSettings[0], "best").value_or(""),
            "root must be one of puct gumbel, got 'best'");
  EXPECT_FALSE(choice_error(kSearchSettings[0], "gumbel"));
}

}  // namespace
}  // namespace tavlox::self_play
