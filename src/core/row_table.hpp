// Compact storage for parsed rows: one text buffer for every field of every
// row, plus field and row offsets.  A million rows cost a few allocations, not
// one per field.
//
// The table is built one row at a time at its end: `open_row` starts a row,
// the parser appends the field bytes to `text()` and marks each field's end
// with `close_field`, and the caller then judges the open row (pad, merge) and
// either `commit_row`s it or `discard_row`s it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace csv_mendle {

// Read-only view of one row of a RowTable; valid until the table changes.
class RowView {
 public:
  RowView() = default;
  RowView(const char* text, const std::uint32_t* ends32, const std::uint64_t* ends64,
          std::size_t count, bool wide32 = false) noexcept
      : text_(text), ends32_(ends32), ends64_(ends64), count_(count), wide32_(wide32) {}

  std::size_t size() const noexcept { return count_; }

  std::string_view field(std::size_t i) const noexcept {
    const std::uint64_t begin = i == 0 ? 0 : end(i - 1);
    return std::string_view(text_ + begin, end(i) - begin);
  }

  // All fields' text, back to back (no separators).
  std::string_view text() const noexcept {
    return std::string_view(text_, count_ == 0 ? 0 : end(count_ - 1));
  }

 private:
  std::uint64_t end(std::size_t i) const noexcept {
    if (ends64_) return ends64_[i];
    if (wide32_) return ends32_[2 * i] | (std::uint64_t{ends32_[2 * i + 1]} << 32);
    return ends32_[i];
  }

  const char* text_ = nullptr;
  const std::uint32_t* ends32_ = nullptr;
  const std::uint64_t* ends64_ = nullptr;
  std::size_t count_ = 0;
  bool wide32_ = false;
};

class RowTable {
 public:
  // ---- reading committed rows ----
  std::size_t size() const noexcept { return rows_.size(); }
  bool empty() const noexcept { return rows_.empty(); }
  RowView row(std::size_t i) const noexcept;

  // ---- building the open row ----
  // Starts a new open row with no fields.  An open row that was neither
  // committed nor discarded is discarded first.
  void open_row() {
    if (open_) discard_row();
    open_ = true;
    open_start_ = text_.size();
    open_count_ = 0;
  }
  // The buffer the open row's field bytes are appended to.  Bytes from
  // `open_text_start()` on belong to the open row.
  std::string& text() noexcept { return text_; }
  std::size_t open_text_start() const noexcept { return open_start_; }
  // Appends the bytes `write(to)` puts at `to`, at most `most` of them; it
  // returns how many.  The room is not zero-filled first, which spares a
  // writer that knows only a bound the cost of filling bytes it overwrites.
  // `write` must not throw.
  template <class Write>
  void append_text(std::size_t most, Write&& write) {
    append_unfilled(text_, most, write);
  }
  // Ends the open row's current field at the present end of `text()`.
  void close_field() {
    *field_end_room(1) = text_.size() - open_start_;
    ++open_count_;
  }
  // For a parser that knows a bound on the fields it is about to close: room
  // for `most` more ends of the open row, which it writes in order through
  // the pointer without a check per field, then makes count with
  // `close_fields(written)`.  The pointer is valid until the table changes.
  std::uint64_t* field_end_room(std::size_t most) {
    if (open_ends_.size() - open_count_ < most) {
      grow_open_ends(std::max({open_count_ + most, 2 * open_ends_.size(), std::size_t{16}}));
    }
    return open_ends_.data() + open_count_;
  }
  void close_fields(std::size_t written) noexcept { open_count_ += written; }
  std::size_t open_field_count() const noexcept { return open_count_; }
  std::string_view open_field(std::size_t i) const noexcept;
  RowView open_view() const noexcept {
    return RowView(text_.data() + open_start_, nullptr, open_ends_.data(), open_count_);
  }
  // Appends empty fields until the open row has `fields` fields.  Throws
  // std::bad_alloc, changing nothing, when the table's field ends would then
  // exceed the machine's physical memory.
  void pad_open_row(std::size_t fields);
  // Joins fields `fields - 1` .. end of the open row into one field, with
  // `separator` between neighbours, so that the row has `fields` fields
  // (`fields` >= 1).  The joined text is built once, in place.
  void merge_open_row(std::size_t fields, std::string_view separator);
  // The open row joins the table as its last row.
  void commit_row();
  // The open row is dropped, its text released from the buffer.
  void discard_row() noexcept;

  // Makes room for `rows` more rows holding `fields` more fields in all.
  void reserve(std::size_t rows, std::size_t fields);
  // Makes room for the rows of the rest of an input, when the rows held came
  // from `read` of its `total` bytes: doubling growth would leave up to half
  // of each array unused, and copy it on every growth.
  void reserve_by_extrapolation(std::size_t read, std::size_t total);

  // Drops every row (capacity is kept).
  void clear() noexcept;
  // Releases spare capacity once building is done (a buffer whose spare
  // room is at most a sixteenth of its contents is left as it is).
  void shrink_to_fit();
  // Bytes held by the table's buffers (their capacity).
  std::size_t memory_bytes() const noexcept;

 private:
  // Per committed row: where its text and its field ends start.  Field ends
  // are 32-bit offsets relative to the row's text start; a row whose text
  // reaches 4 GiB (flagged by the top bit of `first_end`) stores each end as
  // two 32-bit halves, low half first.  A row's ends run up to the next
  // row's `first_end` (or the end of `ends_`).
  struct RowEntry {
    std::uint64_t text_start;
    std::uint64_t first_end;
  };
  static constexpr std::uint64_t kWideFlag = std::uint64_t{1} << 63;

  // Makes room for at least `room` ends of the open row.
  void grow_open_ends(std::size_t room);

  // append_text's work, by the library's means of sizing a string without
  // filling it where there is one (standard from C++23, an extension of
  // libstdc++ before that).
  template <class String, class Write>
  static void append_unfilled(String& text, std::size_t most, Write& write) {
    const std::size_t base = text.size();
    const auto fill = [&](char* to, std::size_t) { return base + write(to + base); };
    if constexpr (requires { text.resize_and_overwrite(base + most, fill); }) {
      text.resize_and_overwrite(base + most, fill);
    } else if constexpr (requires { text.__resize_and_overwrite(base + most, fill); }) {
      text.__resize_and_overwrite(base + most, fill);
    } else {
      text.resize(base + most);
      text.resize(fill(text.data(), base + most));
    }
  }

  std::string text_;
  std::vector<std::uint32_t> ends_;
  std::vector<RowEntry> rows_;
  // Ends of the open row, relative to open_start_: the first open_count_ of
  // a buffer whose size only grows, so that writing an end needs no check
  // beyond the room.
  std::vector<std::uint64_t> open_ends_;
  std::size_t open_count_ = 0;
  std::size_t open_start_ = 0;
  bool open_ = false;
};

}  // namespace csv_mendle
