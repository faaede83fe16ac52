#pragma once

#include <optional>

#include "config.h"
#include "py_ref.h"

namespace tavlox::python {

// Reads the eight configuration attributes of `object` in declaration order. Returns nothing
// with the Python error set at the first attribute that is missing or does not convert; an
// unconvertible value raises "failed to extract field Config.<name>" caused by the conversion
// error.
std::optional<self_play::Config> convert_config(Borrowed object);

}  // namespace tavlox::python
