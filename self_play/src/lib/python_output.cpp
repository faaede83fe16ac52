#include "python_output.h"

#include <Python.h>

#include <cstdio>

#include "py_ref.h"
#include "python_error.h"

namespace tavlox::python {
namespace {

bool write_to_python(Borrowed stream, std::string_view line) {
  const Ref text =
      Ref::steal(PyUnicode_DecodeUTF8(line.data(), Py_ssize_t(line.size()), "replace"));
  if (text && Ref::steal(PyObject_CallMethod(stream, "write", "O", text.get()))) return true;
  take_error();
  return false;
}

void write_line(std::string_view line) {
  Borrowed stream = PySys_GetObject("stdout");
  if (stream != nullptr && stream != Py_None && write_to_python(stream, line)) return;
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

void PythonStdout::write(std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const size_t length = end == std::string_view::npos ? text.size() : end + 1;
    write_line(text.substr(0, length));
    text.remove_prefix(length);
  }
}

}  // namespace tavlox::python
