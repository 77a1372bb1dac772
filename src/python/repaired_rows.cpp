#include "repaired_rows.hpp"

#include <atomic>
#include <new>
#include <utility>

#include "convert.hpp"
#include "owned_ref.hpp"
#include "row_cursor.hpp"

namespace csv_mendle::python {

namespace {

// The cursor is constructed in place after tp_alloc and destroyed in
// tp_dealloc.
struct PyRepairedRows {
  PyObject_HEAD
  RowCursor rows;
};

RowCursor& cursor_of(PyObject* self) noexcept {
  return reinterpret_cast<PyRepairedRows*>(self)->rows;
}

void Rows_dealloc(PyObject* self) {
  cursor_of(self).~RowCursor();
  // An instance of a heap type holds a reference to its type.
  PyTypeObject* type = Py_TYPE(self);
  OwnedRef type_reference = OwnedRef::steal(reinterpret_cast<PyObject*>(type));
  type->tp_free(self);
}

PyObject* Rows_iter(PyObject* self) {
  return guarded_object([&]() -> PyObject* { return cursor_of(self).same_object(self); });
}

PyObject* Rows_iternext(PyObject* self) {
  return guarded_object([&]() -> PyObject* { return cursor_of(self).next(); });
}

Py_ssize_t Rows_length(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t { return cursor_of(self).length(); });
}

PyType_Slot rows_slots[] = {
    {Py_tp_doc, const_cast<char*>("The repaired rows of one file, each a new list of str; "
                                  "they iterate once.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Rows_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&Rows_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&Rows_iternext)},
    // Length (and with it truth) only: no item access.
    {Py_mp_length, reinterpret_cast<void*>(&Rows_length)},
    {0, nullptr},
};

// Created only by `read`, never subclassed, not garbage collected: the rows
// refer to no other Python object.
PyType_Spec rows_spec = {
    "csv_mendle._csv_mendle.RepairedRows",
    static_cast<int>(sizeof(PyRepairedRows)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    rows_slots,
};

std::atomic<PyTypeObject*> rows_type_slot{nullptr};

}  // namespace

PyTypeObject* repaired_rows_type() { return process_wide_type(rows_type_slot, rows_spec); }

PyObject* repaired_rows_new(DeliveredRows rows) {
  PyTypeObject* type = repaired_rows_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&cursor_of(self)) RowCursor(std::move(rows));
  return self;
}

}  // namespace csv_mendle::python
