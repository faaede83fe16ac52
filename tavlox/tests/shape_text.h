#pragma once

#include <string>
#include <string_view>

#include "pieces.h"

namespace tavlox::testing {

// Shapes as text: rows top to bottom separated by '/', '#' for a covered cell, '.' for an
// empty one, e.g. "##/.#".
std::string shape_text(const Shape& shape);
Shape parse_shape_text(std::string_view text);

}  // namespace tavlox::testing
