#include "repaired_rows.hpp"

#include <atomic>
#include <new>
#include <utility>

#include "arrow_capsules.hpp"
#include "convert.hpp"
#include "owned_ref.hpp"
#include "row_cursor.hpp"

namespace csv_mendle::python {

namespace {

// The cursor and the header are constructed in place after tp_alloc and
// destroyed in tp_dealloc.  The header never changes: it needs no borrow.
struct PyRepairedRows {
  PyObject_HEAD
  RowCursor rows;
  Header header;
};

RowCursor& cursor_of(PyObject* self) noexcept {
  return reinterpret_cast<PyRepairedRows*>(self)->rows;
}

// The header's names for the Arrow columns; empty without a header.
std::span<const std::string> header_of(PyObject* self) noexcept {
  const Header& header = reinterpret_cast<PyRepairedRows*>(self)->header;
  if (!header) return {};
  return *header;
}

void Rows_dealloc(PyObject* self) {
  cursor_of(self).~RowCursor();
  reinterpret_cast<PyRepairedRows*>(self)->header.~Header();
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

constexpr Param kStreamParams[] = {{.name = "requested_schema", .kind = ParamKind::Object}};
constexpr Signature kStreamSignature{"__arrow_c_stream__", kStreamParams, 0};

PyObject* Rows_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kStreamSignature, args, nargs, kwnames) < 0) return nullptr;
    // Only the layout of the text is taken from a requested schema (utf8_view
    // in every column); as the interface allows, the stream keeps its own
    // schema otherwise.
    return arrow_stream_capsule(cursor_of(self), header_of(self),
                                requested_layout(arguments.object(0)));
  });
}

// The stream with utf8_view columns, for a consumer that keeps strings as
// views (polars) and would otherwise build a view of every string itself.
PyObject* Rows_arrow_view_stream(PyObject* self, PyObject*) {
  return guarded_object([&]() -> PyObject* {
    return arrow_stream_capsule(cursor_of(self), header_of(self), TextLayout::kUtf8View);
  });
}

PyObject* Rows_arrow_c_schema(PyObject* self, PyObject*) {
  return guarded_object(
      [&]() -> PyObject* { return arrow_schema_capsule(cursor_of(self), header_of(self)); });
}

PyMethodDef rows_methods[] = {
    {"__arrow_c_stream__", as_cfunction(&Rows_arrow_c_stream), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The rows not yet handed out as an Arrow C stream of record batches in a\n"
     "PyCapsule, utf8 columns, or utf8_view when requested_schema asks for\n"
     "utf8_view in every column; afterwards iteration yields nothing.\n"
     "RuntimeError when the rows were already taken."},
    {"_arrow_c_view_stream", as_cfunction(&Rows_arrow_view_stream), METH_NOARGS,
     "_arrow_c_view_stream($self)\n--\n\n"
     "__arrow_c_stream__ with utf8_view columns, for Reader.to_polars()."},
    {"__arrow_c_schema__", as_cfunction(&Rows_arrow_c_schema), METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\n"
     "The Arrow schema of the stream in a PyCapsule: one nullable utf8 column per\n"
     "column of the widest row or the header, named from the header (made unique\n"
     "as pandas does), else column_1, column_2, ..."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rows_slots[] = {
    {Py_tp_doc, const_cast<char*>("The repaired rows of one file, each a new list of str; "
                                  "they iterate once.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Rows_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(&Rows_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(&Rows_iternext)},
    // Length (and with it truth) only: no item access.
    {Py_mp_length, reinterpret_cast<void*>(&Rows_length)},
    {Py_tp_methods, rows_methods},
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

PyObject* repaired_rows_new(DeliveredRows rows, Header header) {
  PyTypeObject* type = repaired_rows_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&cursor_of(self)) RowCursor(std::move(rows));
  new (&reinterpret_cast<PyRepairedRows*>(self)->header) Header(std::move(header));
  return self;
}

}  // namespace csv_mendle::python
