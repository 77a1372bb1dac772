// The delivered rows of one whole input, in input order, for a reader that
// keeps the input: a plain row (see skim_row) stays where it is and is
// recorded by its start, any other row is copied into a RowTable and
// recorded by its place there.  One 64-bit entry per row, or none at all
// when no row is plain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_buffer.hpp"
#include "row_table.hpp"

namespace csv_mendle {

class RowIndex {
 public:
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Row `i` is plain: `where(i)` is its start in the input.  Otherwise
  // `where(i)` is its row in the table.
  bool is_plain(std::size_t i) const noexcept {
    return !entries_.empty() && (entries_[i] & kTableRow) == 0;
  }
  std::uint64_t where(std::size_t i) const noexcept {
    return entries_.empty() ? i : entries_[i] & ~kTableRow;
  }
  // Whether any row is plain (the input is then still needed).
  bool any_plain() const noexcept { return plain_rows_ > 0; }

  void add_plain(std::uint64_t start) {
    entries_.push_back(start);
    ++plain_rows_;
    ++size_;
  }
  void add_table_row(std::size_t row) {
    entries_.push_back(std::uint64_t{row} | kTableRow);
    ++size_;
  }

  // Makes room for `rows` more rows.
  void reserve(std::size_t rows) { entries_.reserve(entries_.size() + rows); }
  // Releases spare room once building is done, when there is enough of it to
  // be worth a copy: room reserved but never written costs no memory.  When
  // no row is plain, row i is the table's row i, and the entries go.
  void shrink_to_fit();
  // Bytes held (capacity).
  std::size_t memory_bytes() const noexcept { return entries_.capacity() * sizeof(std::uint64_t); }
  // Rows before `i` will not be asked about again: the whole pages their
  // entries fill go back to the system (see DeliveredRows::discard_before),
  // and read as zeros afterwards.  Only pages inside the entries go, never
  // the allocator's own words around them.
  void discard_before(std::size_t i) noexcept;

 private:
  static constexpr std::uint64_t kTableRow = std::uint64_t{1} << 63;

  std::vector<std::uint64_t> entries_;
  std::size_t size_ = 0;
  std::size_t plain_rows_ = 0;
  std::size_t discarded_ = 0;  // entries whose pages went back
};

// The rows a reader hands out, with everything needed to read them back;
// DeliveredRows reads them.
struct IndexedRows {
  ByteBuffer input;  // what plain rows are read from; empty when no row is plain
  RowIndex index;
  RowTable table;    // the rows that are not plain
  unsigned char delimiter = ',';
  unsigned char quote = '"';
  std::uint64_t plain_width = 0;  // the field count of every plain row; 0 when unchecked
};

// One row of an IndexedRows: where a plain row starts in the input, or a
// table row's fields.  For what checks how rows are stored (the repair's
// tests and fuzzer); a reader goes through DeliveredRows.
struct IndexedRow {
  bool plain = false;
  std::uint64_t start = 0;  // plain: the row's start in the input (see visit_plain_row)
  RowView fields;           // not plain: the row's fields
};

IndexedRow indexed_row(const IndexedRows& rows, std::size_t i) noexcept;

// Bytes held by the rows and the input (capacities).
std::size_t memory_bytes(const IndexedRows& rows) noexcept;

}  // namespace csv_mendle
