#include "shape_text.h"

namespace tavlox::testing {

std::string shape_text(const Shape& shape) {
  std::string text;
  for (size_t r = 0; r < shape.size(); ++r) {
    if (r > 0) text += '/';
    for (bool covered : shape[r]) text += covered ? '#' : '.';
  }
  return text;
}

Shape parse_shape_text(std::string_view text) {
  Shape shape(1);
  for (char c : text) {
    if (c == '/') {
      shape.emplace_back();
    } else {
      shape.back().push_back(c == '#');
    }
  }
  return shape;
}

}  // namespace tavlox::testing
