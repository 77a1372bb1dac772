// MendleReader and the module function `open`: repair one file in memory and
// hand its rows to Python one list at a time.
#pragma once

#include <Python.h>

namespace csv_mendle::python {

// The module function `open` (METH_FASTCALL | METH_KEYWORDS): a new
// MendleReader, or null with the exception set.
PyObject* reader_open(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);

// The MendleReader type object, built on first use and shared by every import
// of the module.  Borrowed reference; null with the exception set when it
// cannot be built.
PyTypeObject* reader_type();

}  // namespace csv_mendle::python
