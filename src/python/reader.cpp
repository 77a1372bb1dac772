// Placeholder until the reader lands: the type and `open` exist and check
// their arguments, so the module imports with its full namespace, but
// creating a reader is refused.
#include "reader.hpp"

#include <atomic>

#include "convert.hpp"

namespace csv_mendle::python {

namespace {

constexpr Param kReaderParams[] = {
    {.name = "file_path", .kind = ParamKind::Text},
    {.name = "delimiter", .kind = ParamKind::OptionalText},
    {.name = "quote_char", .kind = ParamKind::Text, .text_default = "\""},
    {.name = "fill_ragged_rows", .kind = ParamKind::Flag, .flag_default = true},
    {.name = "merge_overflow", .kind = ParamKind::Flag, .flag_default = true},
    {.name = "expected_columns", .kind = ParamKind::OptionalCount},
    {.name = "repair_quotes", .kind = ParamKind::Flag, .flag_default = true},
};
constexpr Signature kOpenSignature{"open", kReaderParams, 1};
constexpr Signature kReaderSignature{"MendleReader", kReaderParams, 1};

PyObject* refuse_reader() {
  PyErr_SetString(PyExc_NotImplementedError, "MendleReader is not available yet");
  return nullptr;
}

PyObject* Reader_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kReaderSignature, args, kwargs) < 0) return nullptr;
    return refuse_reader();
  });
}

PyType_Slot reader_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "MendleReader(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
         "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
         "In-memory streaming reader iterating over mendled rows.")},
    {Py_tp_new, reinterpret_cast<void*>(&Reader_new)},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "builtins.MendleReader",
    static_cast<int>(sizeof(PyObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    reader_slots,
};

std::atomic<PyTypeObject*> reader_type_slot{nullptr};

}  // namespace

PyObject* reader_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kOpenSignature, args, nargs, kwnames) < 0) return nullptr;
    return refuse_reader();
  });
}

PyTypeObject* reader_type() { return process_wide_type(reader_type_slot, reader_spec); }

}  // namespace csv_mendle::python
