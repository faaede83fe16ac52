// The extension module tavlox_self_play: three functions that each play one game.
#include <Python.h>

#include "functions.h"
#include "jit_helpers.h"
#include "panic.h"
#include "py_ref.h"

namespace {

using tavlox::python::Borrowed;
using tavlox::python::Ref;

template <PyObject* (*Function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction entry() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"play_training_game", entry<tavlox::python::play_training_game>(), kFastCall,
     "play_training_game(id, config, result_queue, inference_queue, pipe)\n--\n\n"
     "Works with Pytorch model to generate self-play data"},
    {"play_test_game", entry<tavlox::python::play_test_game>(), kFastCall,
     "play_test_game(id, config, result_queue, model_queue, baseline_queue, pipe)\n--\n\n"},
    {"play_test_against_random", entry<tavlox::python::play_test_against_random>(), kFastCall,
     "play_test_against_random(id, config, result_queue, inference_queue, pipe)\n--\n\n"},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "tavlox_self_play", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends the function's name to __all__ (created when missing) and sets the attribute.
bool register_function(Borrowed module, Borrowed function) {
  const Ref name = Ref::steal(PyObject_GetAttrString(function, "__name__"));
  if (!name) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), name.get()) == 0 &&
         PyObject_SetAttr(module, name.get(), function) == 0;
}

PyObject* create_module() {
  Ref module = Ref::steal(PyModule_Create(&definition));
  if (!module || !tavlox::python::create_panic_type()) return nullptr;
#ifdef PYPY_VERSION
  if (!tavlox::python::load_jit_helpers()) return nullptr;
#endif
  // PyPy leaves an empty documentation string out; set it explicitly.
  const Ref doc = Ref::steal(PyUnicode_FromString(definition.m_doc));
  if (!doc || PyObject_SetAttrString(module.get(), "__doc__", doc.get()) < 0) return nullptr;
  const Ref module_name = Ref::steal(PyUnicode_FromString(definition.m_name));
  if (!module_name) return nullptr;
  for (PyMethodDef& function : functions) {
    const Ref object = Ref::steal(PyCFunction_NewEx(&function, module.get(), module_name.get()));
    if (!object) return nullptr;
    // A registration failure leaves this one function out; the others still register.
    if (!register_function(module.get(), object.get())) PyErr_Clear();
  }
  return module.release();
}

}  // namespace

// The module object is created once per process; every later initialisation returns it.
PyMODINIT_FUNC PyInit_tavlox_self_play() {
  static PyObject* module = nullptr;
  if (module == nullptr) module = create_module();
  Py_XINCREF(module);
  return module;
}
