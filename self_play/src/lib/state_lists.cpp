#include "state_lists.h"

#include "py_list.h"

namespace tavlox::python {

Ref nested_bool_lists(const uint8_t* flat, uint32_t outer, uint32_t middle, uint32_t inner) {
  return make_list(outer, [&](size_t i) {
    const uint8_t* block = flat + i * middle * inner;
    return make_list(middle, [&](size_t j) {
      const uint8_t* row = block + j * inner;
      return make_list(inner,
                       [&](size_t k) { return Ref::borrow(row[k] != 0 ? Py_True : Py_False); });
    });
  });
}

}  // namespace tavlox::python
