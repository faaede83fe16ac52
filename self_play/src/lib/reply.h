#pragma once

#include <vector>

#include "py_ref.h"

namespace tavlox::python {

// Element `index` of a network reply: taken directly from a list or tuple, otherwise by item
// access with the integer key (so mappings such as {0: ..., 1: ...} work). Null with the
// Python error set.
Ref reply_element(Borrowed reply, Py_ssize_t index);

// Converts a reply element, a sequence of numbers (never a str), to single floats in `out`.
// `what` names the element in error messages. False with the Python error set.
bool read_floats(Borrowed element, const char* what, std::vector<float>& out);

}  // namespace tavlox::python
