#include "state_lists.h"

#include <cstddef>
#include <utility>

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

// Moves `count` references from one boolean to the other (count may be negative).
void move_references(Borrowed from, Borrowed to, ptrdiff_t count) {
  if (count < 0) std::swap(from, to), count = -count;
  for (; count > 0; --count) {
    Py_INCREF(to);
    Py_DECREF(from);
  }
}

// One pass that overwrites every item with its new boolean, counting the Trues before and
// after so that the booleans' reference counts are settled once at the end. An item that is
// not a boolean was put there by someone else, and releasing it could run arbitrary code: the
// pass stops there, leaving a consistent list to be released as a whole.
bool refill_flags(Borrowed list, const uint8_t* flags, uint32_t length) {
  if (!owned_list(list, length)) return false;
  PyObject** items = PySequence_Fast_ITEMS(list);
  PyObject* const booleans[2] = {Py_False, Py_True};
  ptrdiff_t trues_before = 0;
  ptrdiff_t trues_after = 0;
  uint32_t k = 0;
  for (; k < length; ++k) {
    PyObject* const old = items[k];
    if ((old != Py_True) & (old != Py_False)) [[unlikely]]
      break;
    const bool flag = flags[k] != 0;
    trues_before += old == Py_True;
    trues_after += flag;
    items[k] = booleans[flag];
  }
  move_references(Py_False, Py_True, trues_after - trues_before);
  return k == length;
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
