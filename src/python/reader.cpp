// MendleReader and `open`: construction reads and repairs the whole file at
// once and keeps the delivered rows; each `next()` hands out one row as a
// fresh list of str.
#include "reader.hpp"

#include <atomic>
#include <new>
#include <utility>

#include "convert.hpp"
#include "delivered_rows.hpp"
#include "mendle_file.hpp"
#include "row_cursor.hpp"
#include "summary.hpp"

namespace csv_mendle::python {

namespace {

constexpr Param kReaderPaths[] = {{.name = "file_path", .kind = ParamKind::Text}};
constexpr auto kReaderParams = with_repair_options(kReaderPaths);
constexpr Signature kOpenSignature{"open", kReaderParams, 1};
constexpr Signature kReaderSignature{"MendleReader", kReaderParams, 1};
constexpr std::size_t kFirstOption = std::size(kReaderPaths);

constexpr Param kExitParams[] = {
    {.name = "_exc_type", .kind = ParamKind::Object},
    {.name = "_exc_val", .kind = ParamKind::Object},
    {.name = "_exc_tb", .kind = ParamKind::Object},
};
constexpr Signature kExitSignature{"__exit__", kExitParams, 0};

// The C++ members are constructed in place after tp_alloc and destroyed in
// tp_dealloc.  `report` never changes after construction; the rows' borrow
// counter guards it too.
struct PyMendleReader {
  PyObject_HEAD
  RowCursor rows;
  RepairReport report;
};

PyMendleReader* as_reader(PyObject* self) noexcept {
  return reinterpret_cast<PyMendleReader*>(self);
}

// ---- construction ----

// The one construction path behind both the class call and `open`.  The
// quarantined rows are never kept, and the input only while a plain row
// refers to it.
PyObject* reader_create(PyTypeObject* type, const Arguments& arguments) {
  Result<IndexOutcome> repaired =
      mendle_indexed_file(InputSource::path(arguments.text(0)),
                          arguments.repair_options(kFirstOption));
  if (!repaired) return raise_classified_os_error(repaired.error());
  IndexOutcome& outcome = repaired.value();

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  PyMendleReader* reader = as_reader(self);
  // Moved, not copied: the input and the table become the reader's.
  new (&reader->rows) RowCursor(DeliveredRows(std::move(outcome.rows)));
  new (&reader->report) RepairReport(outcome.report);
  return self;
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kReaderSignature, args, kwargs) < 0) return nullptr;
    return reader_create(type, arguments);
  });
}

void Reader_dealloc(PyObject* self) {
  PyMendleReader* reader = as_reader(self);
  reader->report.~RepairReport();
  reader->rows.~RowCursor();
  // An instance of a heap type holds a reference to its type.
  PyTypeObject* type = Py_TYPE(self);
  OwnedRef type_reference = OwnedRef::steal(reinterpret_cast<PyObject*>(type));
  type->tp_free(self);
}

// ---- members ----

PyObject* Reader_iternext(PyObject* self) {
  return guarded_object([&]() -> PyObject* { return as_reader(self)->rows.next(); });
}

// The reader itself, under a shared borrow (__iter__ and __enter__).
PyObject* reader_self(PyObject* self) {
  return guarded_object([&]() -> PyObject* { return as_reader(self)->rows.same_object(self); });
}

PyObject* Reader_iter(PyObject* self) { return reader_self(self); }

PyObject* Reader_enter(PyObject* self, PyObject*) { return reader_self(self); }

// Examines nothing and clears nothing: an exception inside the `with` block
// propagates, and the reader stays usable after it.
PyObject* Reader_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kExitSignature, args, nargs, kwnames) < 0) return nullptr;
    SharedBorrow borrow(as_reader(self)->rows.borrow());
    if (!borrow_held(borrow)) return nullptr;
    Py_RETURN_FALSE;
  });
}

Py_ssize_t Reader_length(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t { return as_reader(self)->rows.length(); });
}

PyObject* Reader_get_summary(PyObject* self, void*) {
  return guarded_object([&]() -> PyObject* {
    PyMendleReader* reader = as_reader(self);
    RepairReport report;
    {
      SharedBorrow borrow(reader->rows.borrow());
      if (!borrow_held(borrow)) return nullptr;
      report = reader->report;
    }
    return summary_new(report);
  });
}

PyMethodDef reader_methods[] = {
    {"__enter__", Reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(&Reader_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"summary", Reader_get_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "MendleReader(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
         "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
         "In-memory streaming reader iterating over mendled rows.")},
    {Py_tp_new, reinterpret_cast<void*>(&Reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Reader_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&Reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&Reader_iternext)},
    // Length (and with it truth) only: no sequence slots, no item access.
    {Py_mp_length, reinterpret_cast<void*>(&Reader_length)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

// Never subclassed and not garbage collected: a reader refers to no other
// Python object.
PyType_Spec reader_spec = {
    "builtins.MendleReader",
    static_cast<int>(sizeof(PyMendleReader)),
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
    PyTypeObject* type = reader_type();
    if (type == nullptr) return nullptr;
    return reader_create(type, arguments);
  });
}

PyTypeObject* reader_type() { return process_wide_type(reader_type_slot, reader_spec); }

}  // namespace csv_mendle::python
