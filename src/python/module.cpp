// The extension module _csv_mendle_backend: its definition, its module body
// and the one function without a home of its own, `sniff`.
#include <Python.h>

#include "convert.hpp"
#include "heuristics.hpp"
#include "mendle_file_binding.hpp"
#include "module_body.hpp"
#include "owned_ref.hpp"
#include "reader.hpp"
#include "summary.hpp"

namespace csv_mendle::python {

const char* const kModuleName = "_csv_mendle_backend";

namespace {

constexpr const char* kVersion = "0.2.0";

constexpr const char* kModuleDoc =
    "High-performance, fault-tolerant CSV mendle and reconstruction engine.\n\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

constexpr const char* kPublicNames[] = {"mendle_file", "sniff", "open", "MendleSummary",
                                        "MendleReader"};

constexpr Param kSniffParams[] = {{.name = "sample", .kind = ParamKind::Text}};
constexpr Signature kSniffSignature{"sniff", kSniffParams, 1};

PyObject* Module_sniff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kSniffSignature, args, nargs, kwnames) < 0) return nullptr;
    // The str's own UTF-8 form, not a copy.
    const unsigned char delimiter = sniff_delimiter(arguments.text(0));
    return PyUnicode_FromOrdinal(delimiter);
  });
}

PyMethodDef sniff_definition = {
    "sniff",
    as_cfunction(&Module_sniff),
    METH_FASTCALL | METH_KEYWORDS,
    "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample.",
};

PyMethodDef open_definition = {
    "open",
    as_cfunction(&reader_open),
    METH_FASTCALL | METH_KEYWORDS,
    "open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
    "Convenience function to open and stream a mendled CSV file.",
};

// The module body; the first failing step ends it and fails the import.
int module_exec(PyObject* module) {
  return guarded<int>(-1, [&]() -> int {
    if (require_module(module) < 0) return -1;
    // The __doc__ set here replaces the short m_doc the module was created with.
    if (add_text(module, "__version__", kVersion) < 0) return -1;
    if (add_text(module, "__doc__", kModuleDoc) < 0) return -1;
    if (add_public_names(module, kPublicNames) < 0) return -1;
    if (add_function(module, mendle_file_definition) < 0) return -1;
    if (add_function(module, sniff_definition) < 0) return -1;
    if (add_function(module, open_definition) < 0) return -1;
    if (add_type(module, "MendleSummary", summary_type()) < 0) return -1;
    if (add_type(module, "MendleReader", reader_type()) < 0) return -1;
    return 0;
  });
}

}  // namespace

}  // namespace csv_mendle::python

PyMODINIT_FUNC PyInit__csv_mendle_backend() {
  return csv_mendle::python::define_module<&csv_mendle::python::module_exec>(
      "_csv_mendle_backend", "The native _csv_mendle_backend Python module.");
}
