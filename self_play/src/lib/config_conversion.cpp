#include "config_conversion.h"

#include <array>
#include <cstdint>
#include <string>

#include "python_error.h"

namespace tavlox::python {
namespace {

using self_play::Config;

struct Field {
  const char* name;
  std::size_t Config::*word;  // set for unsigned word fields
  float Config::*single;      // set for single-precision fields
};

constexpr std::array<Field, 8> kFields{{
    {"dim", &Config::dim, nullptr},
    {"rep", &Config::rep, nullptr},
    {"sims_per_move", &Config::sims_per_move, nullptr},
    {"sample_moves", &Config::sample_moves, nullptr},
    {"c_base", nullptr, &Config::c_base},
    {"c_init", nullptr, &Config::c_init},
    {"dirichlet_alpha", nullptr, &Config::dirichlet_alpha},
    {"exploration_fraction", nullptr, &Config::exploration_fraction},
}};

// The attribute names, interned on first use and kept for the life of the process.
const std::array<PyObject*, kFields.size()>* attribute_names() {
  static std::array<PyObject*, kFields.size()> names{};
  for (size_t i = 0; i < kFields.size(); ++i) {
    if (names[i] == nullptr) names[i] = PyUnicode_InternFromString(kFields[i].name);
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
void name_field_in_error(const Field& field) {
  FetchedError cause = FetchedError::fetch();
  if (cause.is_interrupt()) {
    std::move(cause).restore();
    return;
  }
  raise_type_error_from(std::string("failed to extract field Config.") + field.name, cause);
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
      name_field_in_error(kFields[i]);
      return std::nullopt;
    }
  }
  return config;
}

}  // namespace tavlox::python
