#include "settings_objects.h"

#include <string>
#include <vector>

#include "py_ref.h"
#include "settings_table.h"

namespace tavlox::self_play {
namespace {

using python::Ref;

constexpr std::string_view type_name(SettingType type) {
  switch (type) {
    case SettingType::kInteger:
      return "int";
    case SettingType::kReal:
      return "float";
    case SettingType::kText:
      return "str";
    case SettingType::kOptionalReal:
      return "float?";
    case SettingType::kOptionalText:
      return "str?";
  }
  return "";
}

bool is_optional(SettingType type) {
  return type == SettingType::kOptionalReal || type == SettingType::kOptionalText;
}

bool is_text(SettingType type) {
  return type == SettingType::kText || type == SettingType::kOptionalText;
}

// Converts one attribute's value; false with a Python exception set.
template <typename Settings>
bool read_value(const Setting<Settings>& setting, PyObject* object, SettingValue& value) {
  if (object == Py_None && is_optional(setting.type)) {
    value.none = true;
    return true;
  }
  std::optional<std::string> error;
  if (setting.type == SettingType::kInteger) {
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) return false;
    value.integer = PyLong_AsLongLong(index.get());
    if (value.integer == -1 && PyErr_Occurred()) return false;
    error = range_error(setting, double(value.integer));
  } else if (is_text(setting.type)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return false;
    value.text = std::string_view(text, std::size_t(size));
    error = choice_error(setting, value.text);
  } else {
    value.real = PyFloat_AsDouble(object);
    if (value.real == -1.0 && PyErr_Occurred()) return false;
    if (setting.type == SettingType::kReal) error = range_error(setting, value.real);
  }
  if (error) PyErr_SetString(PyExc_ValueError, error->c_str());
  return !error;
}

template <typename Settings, std::size_t N>
bool read_settings(PyObject* object, const std::array<Setting<Settings>, N>& table, Settings& out) {
  for (const auto& setting : table) {
    const std::string name(setting.name);
    Ref attribute = Ref::steal(PyObject_GetAttrString(object, name.c_str()));
    if (!attribute) return false;
    SettingValue value;
    if (!read_value(setting, attribute.get(), value)) return false;
    if (auto error = setting.store(out, value)) {
      PyErr_SetString(PyExc_ValueError, error->c_str());
      return false;
    }
  }
  return true;
}

Ref text_object(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}

Ref bound_object(double bound) {
  if (bound == kUnbounded || bound == -kUnbounded) return Ref::borrow(Py_None);
  return Ref::steal(PyFloat_FromDouble(bound));
}

template <typename Settings>
Ref default_object(const Setting<Settings>& setting) {
  switch (setting.type) {
    case SettingType::kInteger:
      return Ref::steal(PyLong_FromLongLong(static_cast<long long>(setting.default_number)));
    case SettingType::kReal:
      return Ref::steal(PyFloat_FromDouble(setting.default_number));
    case SettingType::kText:
      return text_object(setting.default_text);
    default:
      return Ref::borrow(Py_None);
  }
}

Ref choices_object(std::string_view choices) {
  std::vector<std::string_view> names;
  while (!choices.empty()) {
    const std::size_t comma = choices.find(',');
    names.push_back(choices.substr(0, comma));
    choices = comma == std::string_view::npos ? std::string_view() : choices.substr(comma + 1);
  }
  Ref tuple = Ref::steal(PyTuple_New(Py_ssize_t(names.size())));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Ref name = text_object(names[i]);
    if (!name) return name;
    PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), name.release());
  }
  return tuple;
}

template <typename Settings>
Ref setting_object(const Setting<Settings>& setting) {
  Ref name = text_object(setting.name);
  Ref type = text_object(type_name(setting.type));
  Ref fallback = default_object(setting);
  Ref min = bound_object(setting.min);
  Ref max = bound_object(setting.max);
  Ref choices = choices_object(setting.choices);
  Ref help = text_object(setting.help);
  if (!name || !type || !fallback || !min || !max || !choices || !help) return Ref();
  return Ref::steal(Py_BuildValue("{sOsOsOsOsOsOsOsO}", "name", name.get(), "type", type.get(),
                                  "default", fallback.get(), "min", min.get(), "min_exclusive",
                                  setting.min_open ? Py_True : Py_False, "max", max.get(),
                                  "choices", choices.get(), "help", help.get()));
}

template <typename Settings, std::size_t N>
Ref table_object(const std::array<Setting<Settings>, N>& table) {
  Ref tuple = Ref::steal(PyTuple_New(Py_ssize_t(N)));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < N; ++i) {
    Ref item = setting_object(table[i]);
    if (!item) return item;
    PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), item.release());
  }
  return tuple;
}

}  // namespace

bool read_config(PyObject* object, Config& out) {
  return read_settings(object, kConfigSettings, out);
}

bool read_search(PyObject* object, SearchSettings& out) {
  return read_settings(object, kSearchSettings, out);
}

bool read_match(PyObject* object, MatchSettings& out) {
  return read_settings(object, kMatchSettings, out);
}

PyObject* settings_tables() {
  Ref config = table_object(kConfigSettings);
  Ref search = table_object(kSearchSettings);
  Ref match = table_object(kMatchSettings);
  if (!config || !search || !match) return nullptr;
  return Py_BuildValue("{sOsOsO}", "config", config.get(), "search", search.get(), "match",
                       match.get());
}

}  // namespace tavlox::self_play
