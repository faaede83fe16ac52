#include "signals.h"

#include <Python.h>

#include "py_ref.h"

namespace tavlox::python {

int check_signals() {
#ifdef PYPY_VERSION
  // PyPy's PyErr_CheckSignals does nothing: its handlers run where its interpreter looks for
  // pending signals, at a loop's backward jump. Straight-line code loses that look once the
  // JIT compiles it, so the code run here is a one-pass loop. Compiled once, kept for the life
  // of the process.
  static PyObject* const code =
      Py_CompileString("for _ in (0,):\n    pass\n", "<signal check>", Py_file_input);
  static PyObject* const globals = PyDict_New();
  if (code == nullptr || globals == nullptr) {
    // Only the first call can get here with an error set; later ones have no check to run.
    return PyErr_Occurred() != nullptr ? -1 : 0;
  }
  return Ref::steal(PyEval_EvalCode(code, globals, globals)) ? 0 : -1;
#else
  return PyErr_CheckSignals();
#endif
}

}  // namespace tavlox::python
