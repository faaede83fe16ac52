#include "state_lists.h"

namespace tavlox::python {
namespace {

Ref bool_list(const uint8_t* flat, uint32_t length) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(length)));
  if (!list) return list;
  for (uint32_t i = 0; i < length; ++i) {
    PyObject* flag = flat[i] != 0 ? Py_True : Py_False;
    Py_INCREF(flag);
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), flag);
  }
  return list;
}

// A list of `length` sublists, sublist i made by make(i). The list is pre-sized and filled
// in place; a partly filled list is released whole on failure.
template <typename Make>
Ref list_of_lists(uint32_t length, Make&& make) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(length)));
  if (!list) return list;
  for (uint32_t i = 0; i < length; ++i) {
    Ref item = make(i);
    if (!item) return Ref();
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item.release());
  }
  return list;
}

}  // namespace

Ref nested_bool_lists(const uint8_t* flat, uint32_t outer, uint32_t middle, uint32_t inner) {
  return list_of_lists(outer, [&](uint32_t i) {
    const uint8_t* block = flat + size_t(i) * middle * inner;
    return list_of_lists(middle,
                         [&](uint32_t j) { return bool_list(block + size_t(j) * inner, inner); });
  });
}

}  // namespace tavlox::python
