#pragma once

#include <Python.h>

#include <utility>

namespace tavlox::python {

// A borrowed reference: the object is kept alive by someone else for as long as this is used.
using Borrowed = PyObject*;

// An owned (strong) reference, released when it goes out of scope on every path.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (may be null, e.g. a failed C-API call).
  static Ref steal(PyObject* object) { return Ref(object); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(Borrowed object) {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref& other) : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for C-API calls that steal, or returning to Python).
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace tavlox::python
