#pragma once

#include <Python.h>

namespace tavlox::python {

// The module's functions, in the fast calling convention with keyword names.
PyObject* play_training_game(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* play_test_game(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* play_test_against_random(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

}  // namespace tavlox::python
