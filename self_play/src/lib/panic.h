#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>

#include "fault.h"
#include "python_error.h"

namespace tavlox::python {

// Creates the PanicException type (derived directly from BaseException, so `except
// Exception` does not catch it). Called once per process, by module initialisation. False
// with the Python error set.
bool create_panic_type();

// Writes the fault report (thread, source location or "unknown", message) to sys.stderr,
// or to the process's standard error when that is unavailable, and raises PanicException
// with `message`.
void raise_panic(const char* message, const std::source_location* location) noexcept;

// Runs the body of an exported function so that no C++ exception reaches the interpreter:
// a fault or any other C++ exception becomes a PanicException, and an interrupting Python
// exception carried through the engine is raised again unchanged. Null when it raised.
template <typename Body>
PyObject* run_guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (PythonInterrupt& interrupt) {
    std::move(interrupt).restore();
  } catch (const Fault& fault) {
    raise_panic(fault.what(), &fault.location());
  } catch (const std::exception& error) {
    raise_panic(error.what(), nullptr);
  } catch (...) {
    raise_panic("unknown C++ exception", nullptr);
  }
  return nullptr;
}

}  // namespace tavlox::python
