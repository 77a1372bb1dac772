// The module function `mendle_file`: repair one file on disk.
#pragma once

#include <Python.h>

namespace csv_mendle::python {

// Its method definition (METH_FASTCALL | METH_KEYWORDS, with its docstring);
// the module body creates the function from it.
extern PyMethodDef mendle_file_definition;

}  // namespace csv_mendle::python
