#pragma once

#include <string>

#include "pieces.h"

namespace tavlox::testing {

// A shape as the text parse_shape reads: rows top to bottom separated by '/', '#' for a
// covered cell, '.' for an empty one, e.g. "##/.#".
std::string shape_text(const Shape& shape);

}  // namespace tavlox::testing
