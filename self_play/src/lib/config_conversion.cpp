#include "config_conversion.h"

#include <array>
#include <cstdint>
#include <string>

#include "python_error.h"
#include "settings_table.h"

namespace tavlox::python {
namespace {

using self_play::Config;

// How each field of the settings table (settings_table.h, whose order is Config's) converts:
// the table gives the attribute names, this module keeps its own conversion rules.
struct Field {
  std::size_t Config::*word;  // set for unsigned word fields
  float Config::*single;      // set for single-precision fields
};

constexpr std::array<Field, 8> kFields{{
    {&Config::dim, nullptr},
    {&Config::rep, nullptr},
    {&Config::sims_per_move, nullptr},
    {&Config::sample_moves, nullptr},
    {nullptr, &Config::c_base},
    {nullptr, &Config::c_init},
    {nullptr, &Config::dirichlet_alpha},
    {nullptr, &Config::exploration_fraction},
}};
static_assert(kFields.size() == std::tuple_size_v<decltype(self_play::kConfigSettings)>);

std::string_view field_name(std::size_t field) {
  return self_play::kConfigSettings[field].name;
}

// The attribute names, interned on first use and kept for the life of the process.
const std::array<PyObject*, kFields.size()>* attribute_names() {
  static std::array<PyObject*, kFields.size()> names{};
  for (size_t i = 0; i < kFields.size(); ++i) {
    if (names[i] == nullptr) names[i] = PyUnicode_InternFromString(field_name(i).data());
    if (names[i] == nullptr) return nullptr;
  }
  return &names;
}

bool read_word(Borrowed value, std::size_t& out) {
  const Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) return false;
  const unsigned long long word = PyLong_AsUnsignedLongLong(index.get());
  if (word == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if constexpr (sizeof(std::size_t) < sizeof(unsigned long long)) {
    if (word > SIZE_MAX) {
      PyErr_SetString(PyExc_OverflowError, "int too big to convert to a word");
      return false;
    }
  }
  out = static_cast<std::size_t>(word);
  return true;
}

bool read_single(Borrowed value, float& out) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return false;
  out = static_cast<float>(number);
  return true;
}

bool read_field(const Field& field, Borrowed value, Config& config) {
  return field.word != nullptr ? read_word(value, config.*field.word)
                               : read_single(value, config.*field.single);
}

// Rewords a conversion error as the field's extraction error; interrupts pass unchanged.
void name_field_in_error(std::size_t field) {
  FetchedError cause = FetchedError::fetch();
  if (cause.is_interrupt()) {
    std::move(cause).restore();
    return;
  }
  raise_type_error_from("failed to extract field Config." + std::string(field_name(field)), cause);
}

}  // namespace

std::optional<Config> convert_config(Borrowed object) {
  const auto* names = attribute_names();
  if (names == nullptr) return std::nullopt;
  Config config{};
  for (size_t i = 0; i < kFields.size(); ++i) {
    const Ref value = Ref::steal(PyObject_GetAttr(object, (*names)[i]));
    if (!value) return std::nullopt;
    if (!read_field(kFields[i], value.get(), config)) {
      name_field_in_error(i);
      return std::nullopt;
    }
  }
  return config;
}

}  // namespace tavlox::python
