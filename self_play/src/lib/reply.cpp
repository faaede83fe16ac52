#include "reply.h"

#include "python_error.h"

namespace tavlox::python {
namespace {

bool append_float(Borrowed item, std::vector<float>& out) {
  const double number = PyFloat_AsDouble(item);
  if (number == -1.0 && PyErr_Occurred()) return false;
  out.push_back(static_cast<float>(number));
  return true;
}

// Lists and tuples: their item arrays are read in place.
bool read_fast(Borrowed sequence, std::vector<float>& out) {
  Py_ssize_t length = PySequence_Fast_GET_SIZE(sequence);
  PyObject** items = PySequence_Fast_ITEMS(sequence);
  out.reserve(size_t(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    if (PyFloat_CheckExact(items[i])) {
      out.push_back(static_cast<float>(PyFloat_AS_DOUBLE(items[i])));
      continue;
    }
    // Converting anything else may run Python code that changes the sequence.
    const Ref item = Ref::borrow(items[i]);
    if (!append_float(item.get(), out)) return false;
    length = PySequence_Fast_GET_SIZE(sequence);
    items = PySequence_Fast_ITEMS(sequence);
  }
  return true;
}

bool read_by_iteration(Borrowed sequence, std::vector<float>& out) {
  const Ref iterator = Ref::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (const Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!append_float(item.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

// Other sequences: by index while the length can be read, otherwise by iteration.
bool read_generic(Borrowed sequence, std::vector<float>& out) {
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    // An interrupt raised by __len__ stops the call; any other error falls back.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return read_by_iteration(sequence, out);
  }
  out.reserve(size_t(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Ref item = Ref::steal(PySequence_GetItem(sequence, i));
    if (!item || !append_float(item.get(), out)) return false;
  }
  return true;
}

}  // namespace

Ref reply_element(Borrowed reply, Py_ssize_t index) {
  if ((PyTuple_CheckExact(reply) || PyList_CheckExact(reply)) &&
      index < PySequence_Fast_GET_SIZE(reply)) {
    return Ref::borrow(PySequence_Fast_GET_ITEM(reply, index));
  }
  const Ref key = Ref::steal(PyLong_FromSsize_t(index));
  return key ? Ref::steal(PyObject_GetItem(reply, key.get())) : Ref();
}

bool read_floats(Borrowed element, const char* what, std::vector<float>& out) {
  out.clear();
  if (PyUnicode_Check(element)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of numbers, not a str", what);
    return false;
  }
  if (PyList_Check(element) || PyTuple_Check(element)) return read_fast(element, out);
  if (!PySequence_Check(element)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence of numbers, not '%.200s'", what,
                 Py_TYPE(element)->tp_name);
    return false;
  }
  return read_generic(element, out);
}

}  // namespace tavlox::python
