// The delivered rows of an in-memory repair, read back one row at a time as
// fields.  The one reader of an IndexedRows: a caller learns a row's field
// count, then its fields, and never how the row is stored (a plain row in
// the input, any other in the RowTable).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "plain_row.hpp"
#include "row_index.hpp"
#include "row_table.hpp"
#include "utf8.hpp"

namespace csv_mendle {

// One delivered row, valid while its DeliveredRows live: its field count,
// known before its fields are read, and its fields.
class DeliveredRow {
 public:
  std::size_t size() const noexcept { return size_; }

  // Calls `visit(f, text, ascii)` for each field f = 0 .. size() - 1 in
  // order, `text` a view valid while the rows live and `ascii` whether its
  // bytes are all below 0x80.  A call that returns false stops the visit,
  // and visit returns false; otherwise it returns true.  A plain row whose
  // fields do not come to the count it was stored with is a broken
  // invariant of the repair, never the input's fault: it throws
  // std::logic_error.
  template <class Visit>
  bool visit(Visit&& visit) const {
    return plain_ != nullptr ? visit_plain(visit) : visit_table_row(visit);
  }

 private:
  friend class DeliveredRows;

  template <class Visit>
  bool visit_plain(Visit& visit) const {
    std::size_t seen = 0;
    const bool complete = visit_plain_row(
        plain_->input.view(), start_, plain_->delimiter, plain_->quote,
        [&](std::string_view field, bool ascii) {
          if (seen == size_ || !visit(seen, field, ascii)) return false;
          ++seen;
          return true;
        });
    // Stopped by `visit`, the row has fields left (seen < size_); a row that
    // ends before its last field, or goes on past it, is broken.
    if (complete != (seen == size_)) plain_row_width_broken();
    return complete;
  }

  template <class Visit>
  bool visit_table_row(Visit& visit) const {
    // Most rows are plain ASCII: one scan over the whole row spares a scan
    // per field.
    const bool ascii = is_ascii(fields_.text());
    for (std::size_t f = 0; f < size_; ++f) {
      const std::string_view field = fields_.field(f);
      if (!visit(f, field, ascii || is_ascii(field))) return false;
    }
    return true;
  }

  [[noreturn]] static void plain_row_width_broken();

  const IndexedRows* plain_ = nullptr;  // a plain row: the rows whose input holds it
  std::uint64_t start_ = 0;             // a plain row: its start in the input
  RowView fields_;                      // a table row: its fields
  std::size_t size_ = 0;
};

class DeliveredRows {
 public:
  DeliveredRows() = default;
  explicit DeliveredRows(IndexedRows rows) : rows_(std::move(rows)) {}

  std::size_t size() const noexcept { return rows_.index.size(); }

  // Row `i` (below size()).
  DeliveredRow row(std::size_t i) const noexcept {
    DeliveredRow row;
    if (rows_.index.is_plain(i)) {
      row.plain_ = &rows_;
      row.start_ = rows_.index.where(i);
      // Every plain row has the width checked against, when one was.
      row.size_ = rows_.plain_width != 0
                      ? static_cast<std::size_t>(rows_.plain_width)
                      : count_plain_fields(rows_.input.view(), row.start_, rows_.delimiter,
                                           rows_.quote);
    } else {
      row.fields_ = rows_.table.row(static_cast<std::size_t>(rows_.index.where(i)));
      row.size_ = row.fields_.size();
    }
    return row;
  }

  // Asks the processor to bring row `i`'s first bytes into cache when it is
  // plain; a hint only, and `i` may be size().  Rows are read long after the
  // input was, one row per list of Python objects built in between, which
  // hides their stream from the hardware prefetcher.
  void prefetch(std::size_t i) const noexcept;

  // Row `i` and those after it may still be read, none before it: the
  // memory of the input that only earlier rows use goes back to the system
  // (see ByteBuffer::discard_before), so that a consumer copying the rows
  // out does not hold the input and the copy whole at once.
  void discard_before(std::size_t i) noexcept;

 private:
  IndexedRows rows_;
};

}  // namespace csv_mendle
