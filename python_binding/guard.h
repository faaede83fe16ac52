#pragma once

#include <Python.h>

#include <exception>
#include <utility>

#include "python_error.h"

namespace tavlox::python {

// Runs the body of a function the interpreter calls so that no C++ exception reaches the
// interpreter. An interrupting Python exception carried through C++ (PythonInterrupt) is
// raised again unchanged; any other exception is handed, as the current exception, to
// `raise_exception`: the extension's one mapping of C++ failures to Python exceptions, which
// must set a Python error and throw nothing. Null when it raised.
template <typename Body, typename Raise>
PyObject* guarded_call(Body&& body, Raise&& raise_exception) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (PythonInterrupt& interrupt) {
    std::move(interrupt).restore();
  } catch (...) {
    raise_exception(std::current_exception());
  }
  return nullptr;
}

}  // namespace tavlox::python
