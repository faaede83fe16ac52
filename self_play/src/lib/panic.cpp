#include "panic.h"

#include <cstdio>
#include <string>

#include "fault.h"
#include "py_ref.h"

namespace tavlox::python {
namespace {

PyObject* panic_type = nullptr;

// threading.current_thread().name when the threading module is loaded, and the thread id.
std::string thread_name() {
  const std::string ident = std::to_string(PyThread_get_thread_ident());
  if (Borrowed threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading")) {
    const Ref current = Ref::steal(PyObject_CallMethod(threading, "current_thread", nullptr));
    const Ref text = current ? Ref::steal(PyObject_GetAttrString(current.get(), "name")) : Ref();
    const char* utf8 = text && PyUnicode_Check(text.get()) ? PyUnicode_AsUTF8(text.get()) : nullptr;
    PyErr_Clear();
    if (utf8 != nullptr) return std::string("'") + utf8 + "' (ident " + ident + ")";
  }
  return ident;
}

std::string where(const std::source_location* location) {
  if (location == nullptr) return "unknown";
  return std::string(location->file_name()) + ":" + std::to_string(location->line()) + " in " +
         location->function_name();
}

void write_report(const std::string& report) {
  Borrowed stream = PySys_GetObject("stderr");
  if (stream != nullptr && stream != Py_None && PyFile_WriteString(report.c_str(), stream) == 0) {
    return;
  }
  PyErr_Clear();
  std::fputs(report.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool create_panic_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "tavlox_self_play.PanicException",
        "A fault in the self-play engine (a broken precondition or impossible state) stopped "
        "the call. Derived from BaseException so that `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
  }
  return panic_type != nullptr;
}

void raise_panic(const char* message, const std::source_location* location) noexcept {
  // A report written through Python needs a clear error indicator.
  PyErr_Clear();
  try {
    write_report("tavlox_self_play: thread " + thread_name() + " stopped at " + where(location) +
                 ":\n" + message + "\n");
  } catch (...) {
    std::fputs("tavlox_self_play: fault report could not be built\n", stderr);
  }
  PyErr_SetString(panic_type != nullptr ? panic_type : PyExc_SystemError, message);
}

void raise_panic_for(std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const Fault& fault) {
    raise_panic(fault.what(), &fault.location());
  } catch (const std::exception& other) {
    raise_panic(other.what(), nullptr);
  } catch (...) {
    raise_panic("unknown C++ exception", nullptr);
  }
}

}  // namespace tavlox::python
