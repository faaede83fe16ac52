#include "python_error.h"

#include <algorithm>
#include <string_view>

namespace tavlox::python {
namespace {

// Drops the pending exception of a failed rendering; an interrupt met there (a __str__ that
// raises KeyboardInterrupt) is thrown as PythonInterrupt, so that it is not lost.
void drop_error_unless_interrupt() {
  if (PyErr_Occurred() != nullptr) (void)take_error();
}

// The UTF-8 text of a str object, or `fallback` when it is none (a failed call).
std::string text_of(Ref text, std::string_view fallback) {
  if (text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
      return std::string(utf8, size_t(size));
    }
  }
  drop_error_unless_interrupt();
  return std::string(fallback);
}

std::string repr_of(Borrowed object) {
  return text_of(Ref::steal(PyObject_Repr(object)), "<unrepresentable object>");
}

std::string str_of(Borrowed object) {
  return text_of(Ref::steal(PyObject_Str(object)), "<unprintable object>");
}

// Source lines and frame headers are kept; the caret lines that mark a column range are not.
bool is_marker_line(std::string_view line) {
  return line.find_first_not_of(" ^~") == std::string_view::npos;
}

// The formatted traceback on one line: frames and source lines joined by " | ".
std::string traceback_text(Borrowed traceback) {
  const Ref module = Ref::steal(PyImport_ImportModule("traceback"));
  const Ref lines =
      module ? Ref::steal(PyObject_CallMethod(module.get(), "format_tb", "O", traceback)) : Ref();
  if (!lines || !PyList_Check(lines.get())) {
    drop_error_unless_interrupt();
    return "<unformattable traceback>";
  }
  std::string joined;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
    const std::string entry = str_of(PyList_GET_ITEM(lines.get(), i));
    std::string_view rest = entry;
    while (!rest.empty()) {
      const size_t end = std::min(rest.find('\n'), rest.size());
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(std::min(end + 1, rest.size()));
      line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
      if (is_marker_line(line)) continue;
      if (!joined.empty()) joined += " | ";
      joined += line;
    }
  }
  return joined;
}

}  // namespace

FetchedError FetchedError::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyErr_Fetch(&type, &value, &traceback);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  FetchedError error;
  error.type_ = Ref::steal(type);
  error.value_ = Ref::steal(value);
  error.traceback_ = Ref::steal(traceback);
  return error;
}

bool FetchedError::is_interrupt() const {
  return !PyErr_GivenExceptionMatches(type_.get(), PyExc_Exception);
}

void FetchedError::restore() && {
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

std::string FetchedError::str() const {
  return str_of(value_.get());
}

std::string FetchedError::display() const {
  const Ref qualname = Ref::steal(PyObject_GetAttrString(type_.get(), "__qualname__"));
  return text_of(qualname, "<unnamed exception>") + ": " + str();
}

std::string FetchedError::debug() const {
  std::string text =
      "PythonError(type=" + repr_of(type_.get()) + ", value=" + repr_of(value_.get());
  if (value_) {
    const Ref cause = Ref::steal(PyException_GetCause(value_.get()));
    if (cause) text += ", cause=" + repr_of(cause.get());
  }
  const std::string traceback = traceback_ ? traceback_text(traceback_.get()) : std::string();
  if (traceback.empty()) return text.append(", traceback=none)");
  return text.append(", traceback=[").append(traceback).append("])");
}

FetchedError take_error() {
  FetchedError error = FetchedError::fetch();
  if (error.is_interrupt()) throw PythonInterrupt(std::move(error));
  return error;
}

void raise_type_error_from(const std::string& message, const FetchedError& cause) {
  const Ref text =
      Ref::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
  const Ref error = text ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get())) : Ref();
  if (!error) return;
  PyException_SetCause(error.get(), Ref::borrow(cause.value()).release());
  PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace tavlox::python
