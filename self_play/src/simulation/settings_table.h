#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "config.h"
#include "search_settings.h"

namespace tavlox::self_play {

// What a setting holds, as the Python side sees it.
enum class SettingType {
  kInteger,
  kReal,
  kText,          // one of `choices`, or any text when there are none
  kOptionalReal,  // a number, or None
  kOptionalText,  // one of `choices`, or None
};

// A value read from a Python settings object, before it is stored.
struct SettingValue {
  bool none = false;
  int64_t integer = 0;
  double real = 0.0;
  std::string_view text;
};

constexpr double kUnbounded = std::numeric_limits<double>::infinity();

// One setting the engine reads from a Python settings object by its attribute name: its type,
// its default, the range a number must lie in (`min` excluded when `min_open`), the texts it
// accepts (separated by commas; empty: any) and its help. This table is where the defaults of
// everything the engine reads are defined; the Python settings, their options and their checks
// are made from it. `store` writes a checked value into the settings, or says why the engine
// cannot use it (a text it cannot parse).
template <typename Settings>
struct Setting {
  std::string_view name;
  SettingType type;
  double default_number;          // kInteger and kReal
  std::string_view default_text;  // kText (kOptional*: the default is None)
  double min;
  bool min_open;
  double max;
  std::string_view choices;
  std::string_view help;
  std::optional<std::string> (*store)(Settings&, const SettingValue&);
};

// Why `value` lies outside the setting's range, or nothing.
template <typename Settings>
std::optional<std::string> range_error(const Setting<Settings>& setting, double value);

// Why `text` is not one of the setting's choices, or nothing.
template <typename Settings>
std::optional<std::string> choice_error(const Setting<Settings>& setting, std::string_view text);

// The opening text of a match ("none", "first-tile" or "random:K", K at least 1) into the
// settings; false when it is none of these.
bool parse_opening(std::string_view text, MatchSettings& out);

// The settings of one engine call (the Config every search reads), of the batched engine's
// search and of its matches.
extern const std::array<Setting<Config>, 8> kConfigSettings;
extern const std::array<Setting<SearchSettings>, 11> kSearchSettings;
extern const std::array<Setting<MatchSettings>, 5> kMatchSettings;

// A setting's default as a number, by name; the table must hold it.
template <typename Settings, std::size_t N>
double default_number(const std::array<Setting<Settings>, N>& table, std::string_view name) {
  for (const auto& setting : table) {
    if (setting.name == name) return setting.default_number;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

// Settings with every field at its table default.
Config default_config();

}  // namespace tavlox::self_play
