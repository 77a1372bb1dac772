#include "row_index.hpp"

namespace csv_mendle {

void RowIndex::shrink_to_fit() {
  if (plain_rows_ == 0) {
    entries_ = std::vector<std::uint64_t>();
    return;
  }
  // Below a sixteenth the copy costs more than the spare pages, which a
  // reservation by extrapolation mostly never touches.
  if (entries_.capacity() - entries_.size() > entries_.size() / 16) entries_.shrink_to_fit();
}

IndexedRow indexed_row(const IndexedRows& rows, std::size_t i) noexcept {
  IndexedRow row;
  if (rows.index.is_plain(i)) {
    row.plain = true;
    row.start = rows.index.where(i);
  } else {
    row.fields = rows.table.row(static_cast<std::size_t>(rows.index.where(i)));
  }
  return row;
}

std::size_t memory_bytes(const IndexedRows& rows) noexcept {
  return rows.input.capacity() + rows.index.memory_bytes() + rows.table.memory_bytes();
}

}  // namespace csv_mendle
