#pragma once

#include <Python.h>

#include <exception>
#include <source_location>
#include <utility>

#include "guard.h"

namespace tavlox::python {

// Creates the PanicException type (derived directly from BaseException, so `except
// Exception` does not catch it). Called once per process, by module initialisation. False
// with the Python error set.
bool create_panic_type();

// Writes the fault report (thread, source location or "unknown", message) to sys.stderr,
// or to the process's standard error when that is unavailable, and raises PanicException
// with `message`.
void raise_panic(const char* message, const std::source_location* location) noexcept;

// The module's one mapping of C++ failures to Python: a fault, or any other C++ exception
// (which would be a bug), is reported on standard error and raised as PanicException.
void raise_panic_for(std::exception_ptr error) noexcept;

// Runs the body of an exported function so that no C++ exception reaches the interpreter
// (guard.h), mapped by raise_panic_for. Null when it raised.
template <typename Body>
PyObject* run_guarded(Body&& body) noexcept {
  return guarded_call(std::forward<Body>(body), raise_panic_for);
}

}  // namespace tavlox::python
