#include "delivered_rows.hpp"

#include <stdexcept>

namespace csv_mendle {

void DeliveredRows::prefetch(std::size_t i) const noexcept {
  if (i >= rows_.index.size() || !rows_.index.is_plain(i)) return;
  const std::uint64_t start = rows_.index.where(i);
  __builtin_prefetch(rows_.input.data() + start);
  if (rows_.input.size() - start > 64) __builtin_prefetch(rows_.input.data() + start + 64);
}

void DeliveredRows::discard_before(std::size_t i) noexcept {
  // Plain rows lie in the input in row order, so the start of the next
  // plain row bounds what is left to read.  A row of the table is not in
  // the input: the bound then waits for the next plain row.
  if (i >= rows_.index.size()) {
    rows_.input.discard_before(rows_.input.size());
  } else if (rows_.index.is_plain(i)) {
    rows_.input.discard_before(static_cast<std::size_t>(rows_.index.where(i)));
  }
  rows_.index.discard_before(i);
}

void DeliveredRow::plain_row_width_broken() {
  throw std::logic_error("a plain row does not have the width it was checked for");
}

}  // namespace csv_mendle
