#include "arguments.h"

#include <string>
#include <vector>

#include "python_error.h"

namespace tavlox::python {
namespace {

constexpr size_t kNotFound = size_t(-1);

size_t parameter_index(const Signature& signature, Borrowed keyword) {
  if (!PyUnicode_Check(keyword)) return kNotFound;
  for (size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) return i;
  }
  return kNotFound;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += std::string("'") + names[i] + "'";
  }
  return list;
}

bool report_missing(const Signature& signature, std::span<Borrowed> bound) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < bound.size(); ++i) {
    if (bound[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  if (missing.empty()) return true;
  if (missing.size() == 1) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                 signature.function, missing[0]);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional arguments: %s",
                 signature.function, missing.size(), quoted_list(missing).c_str());
  }
  return false;
}

// An exact TypeError from the id conversion is raised again as a TypeError naming the
// parameter, caused by the original; any other error stays as it is.
void name_id_in_type_error() {
  FetchedError error = FetchedError::fetch();
  if (error.type() != PyExc_TypeError) {
    std::move(error).restore();
    return;
  }
  raise_type_error_from("argument 'id': " + error.str(), error);
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    Borrowed kwnames, std::span<Borrowed> bound) {
  const size_t count = signature.parameters.size();
  if (size_t(nargs) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
                 signature.function, count, nargs);
    return false;
  }
  for (size_t i = 0; i < count; ++i) bound[i] = i < size_t(nargs) ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    Borrowed keyword = PyTuple_GET_ITEM(kwnames, k);
    const size_t index = parameter_index(signature, keyword);
    if (index == kNotFound) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                   signature.function, keyword);
      return false;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.function, signature.parameters[index]);
      return false;
    }
    bound[index] = args[nargs + k];
  }
  return report_missing(signature, bound);
}

std::optional<int32_t> convert_id(Borrowed id) {
  // The index protocol first: some interpreters' C-long conversion would also take floats.
  const Ref index = Ref::steal(PyNumber_Index(id));
  const long value = index ? PyLong_AsLong(index.get()) : -1;
  if (value == -1 && PyErr_Occurred()) {
    name_id_in_type_error();
    return std::nullopt;
  }
  // Worded as the interpreter words its own C int overflow, and not prefixed: only type
  // errors name the argument.
  if (value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
    return std::nullopt;
  }
  if (value < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
    return std::nullopt;
  }
  return int32_t(value);
}

}  // namespace tavlox::python
