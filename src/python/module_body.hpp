// The steps of a module body that both extension modules take: each returns
// 0, or -1 with the exception set, and the first failing step fails the
// import.
#pragma once

#include <Python.h>

#include <span>

namespace csv_mendle::python {

// The name of the extension module this binding code is linked into, as
// SystemError texts show it; each module's own body defines it.
extern const char* const kModuleName;

// -1 with TypeError unless the object being initialised is a module.
int require_module(PyObject* module);

// Creates the function of `definition` bound to `module` (its __self__, and
// the module's name as its __module__) and adds it under its own name.
int add_function(PyObject* module, PyMethodDef& definition);

// Adds `type` (borrowed; null when it could not be built, its exception set).
int add_type(PyObject* module, const char* name, PyTypeObject* type);

int add_text(PyObject* module, const char* name, const char* text);

// Sets __all__ to a list of `names`, in order.
int add_public_names(PyObject* module, std::span<const char* const> names);

// The initialisation of an extension module without per-module state, whose
// body is `Exec`: what its PyInit_ function returns.  Nothing is shared
// between calls, and readers and rows guard themselves with their borrow
// counters, so the module runs without the global lock too.
template <int (*Exec)(PyObject*)>
PyObject* define_module(const char* name, const char* doc) {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(Exec)},
      {Py_mod_gil, Py_MOD_GIL_NOT_USED},
      {0, nullptr},
  };
  static PyModuleDef definition = {
      PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
  };
  return PyModuleDef_Init(&definition);
}

}  // namespace csv_mendle::python
