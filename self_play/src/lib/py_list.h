#pragma once

#include <Python.h>

#include <cstddef>

#include "py_ref.h"

namespace tavlox::python {

// A new list of `length` items, item i made by make(i) as an owned Ref (null on failure, with
// the Python error set). Null with the error set when any item or the list fails; a partly
// built list is released whole.
//
// CPython: the list is created at its final size and filled in place. PyPy: filled by
// appending. A list created at its size and filled from C keeps its items in C storage under
// PyPy, and nested ones are freed only over several collections, so a worker's memory grows
// by gigabytes; appended lists stay ordinary interpreter lists.
template <typename Make>
Ref make_list(std::size_t length, Make&& make) {
#ifdef PYPY_VERSION
  Ref list = Ref::steal(PyList_New(0));
  for (std::size_t i = 0; list && i < length; ++i) {
    const Ref item = make(i);
    if (!item || PyList_Append(list.get(), item.get()) < 0) return Ref();
  }
#else
  Ref list = Ref::steal(PyList_New(Py_ssize_t(length)));
  for (std::size_t i = 0; list && i < length; ++i) {
    Ref item = make(i);
    if (!item) return Ref();
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item.release());
  }
#endif
  return list;
}

}  // namespace tavlox::python
