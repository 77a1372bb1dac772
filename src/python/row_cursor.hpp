// The delivered rows of one in-memory repair and how far Python has read
// them: what a MendleReader and the package's RepairedRows iterate, each
// next() a fresh list of str.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "borrow.hpp"
#include "delivered_rows.hpp"

namespace csv_mendle::python {

// What a consumer that takes the rest of the rows at once (an Arrow stream)
// receives: the rows, the first of them not yet handed out, and the field
// count of the widest of them all.
struct TakenRows {
  DeliveredRows rows;
  std::size_t first = 0;
  std::size_t width = 0;
};

inline constexpr const char* kRowsTaken = "the rows of this reader were already taken";

// Lives inside a Python object: constructed in place after tp_alloc and
// destroyed in tp_dealloc.  `rows` never change after construction; the
// cursor only grows, and only under the exclusive borrow.
class RowCursor {
 public:
  explicit RowCursor(DeliveredRows rows) noexcept
      : rows_(std::move(rows)), size_(rows_.size()) {}
  RowCursor(const RowCursor&) = delete;
  RowCursor& operator=(const RowCursor&) = delete;

  // The next row as a new list, or null: without an exception once every
  // row was handed out (every time), with RuntimeError when another thread
  // holds a borrow.  The cursor's owner must stay alive during the call.
  PyObject* next();

  // The number of rows, handed out or not, or -1 with RuntimeError when
  // refused.
  Py_ssize_t length();

  // Takes every row not yet handed out, once: next() hands out nothing
  // afterwards.  0, or -1 with RuntimeError when they were taken before or
  // another thread holds a borrow.
  [[nodiscard]] int take_rest(TakenRows& taken);

  // The field count of the widest row of all, taken or not; 0, or -1 with
  // RuntimeError when refused.
  [[nodiscard]] int width(std::size_t& width);

  // A new reference to `self` (the object holding this cursor), under a
  // shared borrow: its __iter__ and __enter__.
  PyObject* same_object(PyObject* self);

  // The counter that also guards whatever else the owner keeps beside the
  // rows.
  BorrowCounter& borrow() noexcept { return borrow_; }

 private:
  // Under the exclusive borrow: found once, kept for after the rows went.
  std::size_t widest();

  DeliveredRows rows_;  // empty once taken
  std::size_t size_;
  std::optional<std::size_t> width_;
  bool taken_ = false;
  std::uint64_t cursor_ = 0;
  BorrowCounter borrow_;
};

}  // namespace csv_mendle::python
