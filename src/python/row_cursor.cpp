#include "row_cursor.hpp"

#include <cstring>
#include <string_view>
#include <utility>

#include "arrow_batches.hpp"
#include "convert.hpp"
#include "owned_ref.hpp"

namespace csv_mendle::python {

namespace {

// A new str from ASCII bytes: no decoding, one allocation and a copy.
PyObject* ascii_text(std::string_view field) {
  if (field.size() == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(field[0]));
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(field.size()), 127);
  if (text == nullptr) return nullptr;
  if (!field.empty()) std::memcpy(PyUnicode_1BYTE_DATA(text), field.data(), field.size());
  return text;
}

// A new str from a field's text, which the parser made valid UTF-8.
PyObject* utf8_text(std::string_view field) {
  return PyUnicode_DecodeUTF8(field.data(), static_cast<Py_ssize_t>(field.size()), nullptr);
}

// A new list with one new str per field of row `i`, in field order.
PyObject* row_list(const DeliveredRows& rows, std::size_t i) {
  const DeliveredRow row = rows.row(i);
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(row.size())));
  if (!list) return nullptr;
  const bool complete = row.visit([&](std::size_t f, std::string_view field, bool ascii) {
    PyObject* text = ascii ? ascii_text(field) : utf8_text(field);
    // A list with empty slots left is still released correctly.
    if (text == nullptr) return false;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(f), text);
    return true;
  });
  return complete ? list.release() : nullptr;
}

}  // namespace

PyObject* RowCursor::next() {
  std::size_t row = 0;
  {
    ExclusiveBorrow borrow(borrow_);
    if (!borrow_held(borrow)) return nullptr;
    if (cursor_ >= rows_.size()) return nullptr;
    row = static_cast<std::size_t>(cursor_);
    ++cursor_;
    // The next row is on its way while this one is built.
    rows_.prefetch(row + 1);
  }
  // The list is built after the borrow is released: allocating it may run
  // a garbage collection and with it arbitrary finalizers.  The rows never
  // change while the cursor lives, and the caller holds its owner.
  return row_list(rows_, row);
}

Py_ssize_t RowCursor::length() {
  SharedBorrow borrow(borrow_);
  if (!borrow_held(borrow)) return -1;
  return static_cast<Py_ssize_t>(size_);
}

std::size_t RowCursor::widest() {
  if (!width_) width_ = widest_row(rows_);
  return *width_;
}

int RowCursor::take_rest(TakenRows& taken) {
  ExclusiveBorrow borrow(borrow_);
  if (!borrow_held(borrow)) return -1;
  if (taken_) {
    PyErr_SetString(PyExc_RuntimeError, kRowsTaken);
    return -1;
  }
  taken.width = widest();
  taken.first = static_cast<std::size_t>(cursor_);
  taken.rows = std::exchange(rows_, DeliveredRows{});
  cursor_ = 0;
  taken_ = true;
  return 0;
}

int RowCursor::width(std::size_t& width) {
  ExclusiveBorrow borrow(borrow_);
  if (!borrow_held(borrow)) return -1;
  width = widest();
  return 0;
}

PyObject* RowCursor::same_object(PyObject* self) {
  SharedBorrow borrow(borrow_);
  if (!borrow_held(borrow)) return nullptr;
  return Py_NewRef(self);
}

}  // namespace csv_mendle::python
