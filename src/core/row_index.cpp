#include "row_index.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

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

void RowIndex::discard_before(std::size_t i) noexcept {
  i = std::min(i, entries_.size());
  if (i <= discarded_) return;
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto at = [&](std::size_t entry) {
    return reinterpret_cast<std::uintptr_t>(entries_.data() + entry);
  };
  const std::uintptr_t from = (at(discarded_) + page - 1) / page * page;
  const std::uintptr_t to = at(i) / page * page;
  // Advice only: memory that cannot be given back is merely kept.
  if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  discarded_ = i;
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
