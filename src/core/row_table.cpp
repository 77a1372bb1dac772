#include "row_table.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "memory_limit.hpp"

namespace csv_mendle {

RowView RowTable::row(std::size_t i) const noexcept {
  const RowEntry& entry = rows_[i];
  const bool wide = (entry.first_end & kWideFlag) != 0;
  const std::uint64_t first = entry.first_end & ~kWideFlag;
  const std::uint64_t next =
      i + 1 < rows_.size() ? (rows_[i + 1].first_end & ~kWideFlag) : ends_.size();
  const std::size_t count = static_cast<std::size_t>(wide ? (next - first) / 2 : next - first);
  return RowView(text_.data() + entry.text_start, ends_.data() + first, nullptr, count, wide);
}

std::string_view RowTable::open_field(std::size_t i) const noexcept {
  return open_view().field(i);
}

void RowTable::grow_open_ends(std::size_t room) {
  if (open_ends_.size() < room) open_ends_.resize(room);
}

void RowTable::pad_open_row(std::size_t fields) {
  if (open_count_ >= fields) return;
  // An absurd width (an expected column count of 10**12 or 2**64 - 1) asks
  // for more field ends than the machine's memory holds.  It is refused as
  // the memory failure it is before anything is allocated: with overcommit
  // the system might grant it and the OOM killer end the process while the
  // ends are filled in, and a size beyond the vector's maximum would surface
  // as length_error instead of bad_alloc.
  // Each field costs its end in the open row, then its end once committed.
  constexpr std::uint64_t kPerField = sizeof(std::uint64_t) + sizeof(std::uint32_t);
  const std::uint64_t memory = physical_memory_bytes();
  if (fields > memory / kPerField ||
      ends_.size() > (memory - fields * kPerField) / sizeof(std::uint32_t)) {
    throw std::bad_alloc();
  }
  const std::size_t added = fields - open_count_;
  std::fill_n(field_end_room(added), added, text_.size() - open_start_);
  close_fields(added);
}

void RowTable::merge_open_row(std::size_t fields, std::string_view separator) {
  const std::size_t n = open_count_;
  if (fields == 0 || n <= fields) return;
  const std::size_t first = fields - 1;  // the field that takes in the surplus
  const std::size_t joins = n - fields;  // separators to insert
  if (!separator.empty()) {
    // Grow the text once, then move each surplus field right to its place,
    // from the last field backwards, writing the separator in front of it.
    const std::size_t old_size = text_.size();
    text_.resize(old_size + joins * separator.size());
    char* base = text_.data() + open_start_;
    std::size_t shift = joins * separator.size();
    for (std::size_t k = n - 1; k > first; --k) {
      const std::uint64_t begin = open_ends_[k - 1];
      const std::uint64_t end = open_ends_[k];
      std::memmove(base + begin + shift, base + begin, end - begin);
      shift -= separator.size();
      std::memcpy(base + begin + shift, separator.data(), separator.size());
    }
  }
  open_ends_[first] = text_.size() - open_start_;
  open_count_ = fields;
}

void RowTable::commit_row() {
  if (!open_) return;
  const std::uint64_t length = text_.size() - open_start_;
  const bool wide = length > 0xFFFFFFFFu;
  RowEntry entry{open_start_, ends_.size() | (wide ? kWideFlag : 0)};
  if (wide) {
    ends_.reserve(ends_.size() + 2 * open_count_);
    for (std::size_t i = 0; i < open_count_; ++i) {
      ends_.push_back(static_cast<std::uint32_t>(open_ends_[i]));
      ends_.push_back(static_cast<std::uint32_t>(open_ends_[i] >> 32));
    }
  } else {
    for (std::size_t i = 0; i < open_count_; ++i) {
      ends_.push_back(static_cast<std::uint32_t>(open_ends_[i]));
    }
  }
  rows_.push_back(entry);
  open_ = false;
  open_count_ = 0;
}

void RowTable::discard_row() noexcept {
  if (!open_) return;
  text_.resize(open_start_);
  open_count_ = 0;
  open_ = false;
}

void RowTable::reserve(std::size_t rows, std::size_t fields) {
  rows_.reserve(rows_.size() + rows);
  ends_.reserve(ends_.size() + fields);
}

void RowTable::reserve_by_extrapolation(std::size_t read, std::size_t total) {
  if (read == 0 || read >= total || empty()) return;
  std::size_t fields = 0;
  for (std::size_t r = 0; r < size(); ++r) fields += row(r).size();
  const double scale = 1.02 * static_cast<double>(total - read) / static_cast<double>(read);
  reserve(static_cast<std::size_t>(static_cast<double>(size()) * scale) + 16,
          static_cast<std::size_t>(static_cast<double>(fields) * scale) + 16);
}

void RowTable::clear() noexcept {
  text_.clear();
  ends_.clear();
  rows_.clear();
  open_count_ = 0;
  open_start_ = 0;
  open_ = false;
}

namespace {

// Reallocates a buffer whose spare room is more than a sixteenth of what it
// holds: below that the copy costs more than the spare pages, which a
// reservation by extrapolation mostly never touches.
template <class Buffer>
void release_spare(Buffer& buffer) {
  if (buffer.capacity() - buffer.size() > buffer.size() / 16) buffer.shrink_to_fit();
}

}  // namespace

void RowTable::shrink_to_fit() {
  release_spare(text_);
  release_spare(ends_);
  release_spare(rows_);
  // The room for the open row's ends is kept only while it is in use.
  open_ends_.resize(open_count_);
  open_ends_.shrink_to_fit();
}

std::size_t RowTable::memory_bytes() const noexcept {
  return text_.capacity() + ends_.capacity() * sizeof(std::uint32_t) +
         rows_.capacity() * sizeof(RowEntry) + open_ends_.capacity() * sizeof(std::uint64_t);
}

}  // namespace csv_mendle
