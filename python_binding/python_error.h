#pragma once

#include <Python.h>

#include <string>

#include "py_ref.h"

namespace tavlox::python {

// A Python exception taken out of the interpreter's error indicator and owned here until it
// is put back (restore) or dropped with this object.
class FetchedError {
 public:
  // Takes the pending exception, normalised. Without one, a SystemError saying so is taken.
  static FetchedError fetch();

  // True for exceptions outside the Exception hierarchy (KeyboardInterrupt, SystemExit,
  // GeneratorExit, ...): they must stop the call unchanged, never become an error value.
  bool is_interrupt() const;
  Borrowed type() const { return type_.get(); }
  Borrowed value() const { return value_.get(); }
  // Raises the exception again, unchanged.
  void restore() &&;

  // str() of the exception value.
  std::string str() const;
  // "<type qualname>: <str(value)>"
  std::string display() const;
  // One line naming the type and value by their reprs, the cause if any, and the traceback.
  std::string debug() const;

 private:
  Ref type_;
  Ref value_;
  Ref traceback_;
};

// An interrupting Python exception on its way through the engine to the exported function,
// which raises it again. Deliberately not a std::exception, so nothing in between takes it
// for a fault.
class PythonInterrupt {
 public:
  explicit PythonInterrupt(FetchedError error) : error_(std::move(error)) {}
  void restore() && { std::move(error_).restore(); }

 private:
  FetchedError error_;
};

// Takes the pending exception; an interrupting one is thrown as PythonInterrupt.
FetchedError take_error();

// Sets a new TypeError with `message` whose cause is `cause`, as `raise ... from cause` does.
void raise_type_error_from(const std::string& message, const FetchedError& cause);

}  // namespace tavlox::python
