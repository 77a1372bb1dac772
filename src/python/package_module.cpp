// The extension module _csv_mendle: the package's own API over the core,
// beside the backend module.  The Python layer (csv_mendle/_api.py) calls it.
#include <Python.h>

#include "convert.hpp"
#include "module_body.hpp"
#include "package_calls.hpp"
#include "repaired_rows.hpp"

namespace csv_mendle::python {

const char* const kModuleName = "_csv_mendle";

namespace {

constexpr const char* kPublicNames[] = {"repair", "read", "sniff_dialect", "RepairedRows"};

int module_exec(PyObject* module) {
  return guarded<int>(-1, [&]() -> int {
    if (require_module(module) < 0) return -1;
    if (add_public_names(module, kPublicNames) < 0) return -1;
    if (add_function(module, repair_definition) < 0) return -1;
    if (add_function(module, read_definition) < 0) return -1;
    if (add_function(module, sniff_dialect_definition) < 0) return -1;
    if (add_type(module, "RepairedRows", repaired_rows_type()) < 0) return -1;
    return 0;
  });
}

}  // namespace

}  // namespace csv_mendle::python

PyMODINIT_FUNC PyInit__csv_mendle() {
  return csv_mendle::python::define_module<&csv_mendle::python::module_exec>(
      "_csv_mendle", "The native functions of the csv_mendle package: repair, read, sniff_dialect.");
}
