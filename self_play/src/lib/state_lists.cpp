#include "state_lists.h"

#include "py_list.h"

namespace tavlox::python {
namespace {

Borrowed flag_object(uint8_t flag) {
  return flag != 0 ? Py_True : Py_False;
}

// A list that only its parent refers to, of the expected size.
bool owned_list(Borrowed list, uint32_t length) {
  return PyList_CheckExact(list) && Py_REFCNT(list) == 1 &&
         PyList_GET_SIZE(list) == Py_ssize_t(length);
}

bool refill_flags(Borrowed list, const uint8_t* flags, uint32_t length) {
  if (!owned_list(list, length)) return false;
  PyObject** items = PySequence_Fast_ITEMS(list);
  for (uint32_t k = 0; k < length; ++k) {
    Borrowed flag = flag_object(flags[k]);
    if (items[k] == flag) continue;
    // Anything but the other boolean was put there by someone else: releasing it could run
    // arbitrary code, so the lists are left to be released as a whole.
    if (items[k] != Py_True && items[k] != Py_False) return false;
    Py_INCREF(flag);
    Py_DECREF(items[k]);
    items[k] = flag;
  }
  return true;
}

}  // namespace

Ref nested_bool_lists(const uint8_t* flat, uint32_t outer, uint32_t middle, uint32_t inner) {
  return make_list(outer, [&](size_t i) {
    const uint8_t* block = flat + i * middle * inner;
    return make_list(middle, [&](size_t j) {
      const uint8_t* row = block + j * inner;
      return make_list(inner, [&](size_t k) { return Ref::borrow(flag_object(row[k])); });
    });
  });
}

bool refill_bool_lists(Borrowed lists, const uint8_t* flat, uint32_t outer, uint32_t middle,
                       uint32_t inner) {
  if (!owned_list(lists, outer)) return false;
  for (uint32_t i = 0; i < outer; ++i) {
    Borrowed block = PyList_GET_ITEM(lists, i);
    if (!owned_list(block, middle)) return false;
    for (uint32_t j = 0; j < middle; ++j) {
      const uint8_t* row = flat + (size_t(i) * middle + j) * inner;
      if (!refill_flags(PyList_GET_ITEM(block, j), row, inner)) return false;
    }
  }
  return true;
}

}  // namespace tavlox::python
