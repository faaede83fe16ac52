#pragma once

#include <Python.h>

#include "config.h"
#include "search_settings.h"

namespace tavlox::self_play {

// Reads a Python settings object attribute by attribute, as the settings table names them
// (settings_table.h): integers strictly (a float is refused), texts among their choices,
// numbers within their ranges. False with a Python exception set at the first attribute that
// is missing or wrong.
bool read_config(PyObject* object, Config& out);
bool read_search(PyObject* object, SearchSettings& out);
bool read_match(PyObject* object, MatchSettings& out);

// The settings tables for Python: {"config": ..., "search": ..., "match": ...}, each a tuple
// of dicts with the keys name, type, default, min, min_exclusive, max, choices and help.
PyObject* settings_tables();

}  // namespace tavlox::self_play
