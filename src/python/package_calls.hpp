// The functions of the package's own module, _csv_mendle: `repair`, `read`
// and `sniff_dialect`.  Their method definitions (METH_FASTCALL |
// METH_KEYWORDS, with their docstrings); the module body creates the
// functions from them.
#pragma once

#include <Python.h>

namespace csv_mendle::python {

extern PyMethodDef repair_definition;
extern PyMethodDef read_definition;
extern PyMethodDef sniff_dialect_definition;

}  // namespace csv_mendle::python
