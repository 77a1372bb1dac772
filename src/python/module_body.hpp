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

}  // namespace csv_mendle::python
