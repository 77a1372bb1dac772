// The delivered rows of one in-memory repair and how far Python has read
// them: what a MendleReader and the package's RepairedRows iterate, each
// next() a fresh list of str.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "borrow.hpp"
#include "delivered_rows.hpp"

namespace csv_mendle::python {

// Lives inside a Python object: constructed in place after tp_alloc and
// destroyed in tp_dealloc.  `rows` never change after construction; the
// cursor only grows, and only under the exclusive borrow.
class RowCursor {
 public:
  explicit RowCursor(DeliveredRows rows) noexcept : rows_(std::move(rows)) {}
  RowCursor(const RowCursor&) = delete;
  RowCursor& operator=(const RowCursor&) = delete;

  // The next row as a new list, or null: without an exception once every
  // row was handed out (every time), with RuntimeError when another thread
  // holds a borrow.  The cursor's owner must stay alive during the call.
  PyObject* next();

  // The number of rows, or -1 with RuntimeError when refused.
  Py_ssize_t length();

  // A new reference to `self` (the object holding this cursor), under a
  // shared borrow: its __iter__ and __enter__.
  PyObject* same_object(PyObject* self);

  // The counter that also guards whatever else the owner keeps beside the
  // rows.
  BorrowCounter& borrow() noexcept { return borrow_; }

 private:
  DeliveredRows rows_;
  std::uint64_t cursor_ = 0;
  BorrowCounter borrow_;
};

}  // namespace csv_mendle::python
