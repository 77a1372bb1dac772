#include "summary.hpp"

#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "borrow.hpp"
#include "convert.hpp"
#include "owned_ref.hpp"
#include "report_dict.hpp"

namespace csv_mendle::python {

namespace {

// The C++ members are constructed in place after tp_alloc and destroyed in
// tp_dealloc.
struct PyMendleSummary {
  PyObject_HEAD
  RepairReport report;  // set once at creation
  BorrowCounter borrow;
};

PyMendleSummary* as_summary(PyObject* self) noexcept {
  return reinterpret_cast<PyMendleSummary*>(self);
}

void Summary_dealloc(PyObject* self) {
  PyMendleSummary* summary = as_summary(self);
  summary->borrow.~BorrowCounter();
  summary->report.~RepairReport();
  // An instance of a heap type holds a reference to its type.
  PyTypeObject* type = Py_TYPE(self);
  OwnedRef type_reference = OwnedRef::steal(reinterpret_cast<PyObject*>(type));
  type->tp_free(self);
}

template <std::uint64_t RepairReport::*Count>
PyObject* Summary_get_count(PyObject* self, void*) {
  return guarded_object([&]() -> PyObject* {
    PyMendleSummary* summary = as_summary(self);
    SharedBorrow borrow(summary->borrow);
    if (!borrow_held(borrow)) return nullptr;
    return PyLong_FromUInt64(summary->report.*Count);
  });
}

PyObject* Summary_get_detected_delimiter(PyObject* self, void*) {
  return guarded_object([&]() -> PyObject* {
    PyMendleSummary* summary = as_summary(self);
    SharedBorrow borrow(summary->borrow);
    if (!borrow_held(borrow)) return nullptr;
    return text_object(delimiter_text(summary->report));
  });
}

PyObject* Summary_to_dict(PyObject* self, PyObject*) {
  return guarded_object([&]() -> PyObject* {
    PyMendleSummary* summary = as_summary(self);
    SharedBorrow borrow(summary->borrow);
    if (!borrow_held(borrow)) return nullptr;
    return report_dict(summary->report);
  });
}

PyObject* Summary_repr(PyObject* self) {
  return guarded_object([&]() -> PyObject* {
    PyMendleSummary* summary = as_summary(self);
    SharedBorrow borrow(summary->borrow);
    if (!borrow_held(borrow)) return nullptr;
    const RepairReport& fields = summary->report;
    // The delimiter goes in unescaped: a tab delimiter shows a real tab.
    const std::string text = "<MendleSummary total_rows=" + std::to_string(fields.total_rows) +
                             " mendled_rows=" + std::to_string(fields.mendled_rows) +
                             " repaired_rows=" + std::to_string(fields.repaired_rows) +
                             " quarantined_rows=" + std::to_string(fields.quarantined_rows) +
                             " delimiter='" + delimiter_text(fields) +
                             "' inferred_columns=" + std::to_string(fields.inferred_columns) + ">";
    return text_object(text);
  });
}

PyGetSetDef summary_getset[] = {
    {"total_rows", Summary_get_count<&RepairReport::total_rows>, nullptr, nullptr, nullptr},
    {"mendled_rows", Summary_get_count<&RepairReport::mendled_rows>, nullptr, nullptr, nullptr},
    {"repaired_rows", Summary_get_count<&RepairReport::repaired_rows>, nullptr, nullptr, nullptr},
    {"quarantined_rows", Summary_get_count<&RepairReport::quarantined_rows>, nullptr, nullptr,
     nullptr},
    {"detected_delimiter", Summary_get_detected_delimiter, nullptr, nullptr, nullptr},
    {"inferred_columns", Summary_get_count<&RepairReport::inferred_columns>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef summary_methods[] = {
    {"to_dict", Summary_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot summary_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed summary of a mendle operation.")},
    {Py_tp_repr, reinterpret_cast<void*>(&Summary_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Summary_dealloc)},
    {Py_tp_getset, summary_getset},
    {Py_tp_methods, summary_methods},
    {0, nullptr},
};

// Created only from C++ (no tp_new), never subclassed, not garbage
// collected: a summary refers to no other Python object.
PyType_Spec summary_spec = {
    "builtins.MendleSummary",
    static_cast<int>(sizeof(PyMendleSummary)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    summary_slots,
};

std::atomic<PyTypeObject*> summary_type_slot{nullptr};

}  // namespace

PyTypeObject* summary_type() { return process_wide_type(summary_type_slot, summary_spec); }

PyObject* summary_new(const RepairReport& report) {
  PyTypeObject* type = summary_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  PyMendleSummary* summary = as_summary(self);
  new (&summary->report) RepairReport(report);
  new (&summary->borrow) BorrowCounter();
  return self;
}

}  // namespace csv_mendle::python
