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

}  // namespace tavlox::testing
