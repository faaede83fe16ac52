#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "py_ref.h"

namespace tavlox::python {

// The parameter list of an exported function: every parameter required, each accepted by
// position or by keyword.
struct Signature {
  const char* function;
  std::span<const char* const> parameters;
};

// Binds a fast call's arguments (positional ones, then the values of `kwnames`) to the
// parameters, filling `bound` (one borrowed reference per parameter, in order). Returns
// false with a TypeError set when the call does not fit the signature.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    Borrowed kwnames, std::span<Borrowed> bound);

// The worker id as a signed 32-bit integer, or nothing with the Python error set.
std::optional<int32_t> convert_id(Borrowed id);

}  // namespace tavlox::python
