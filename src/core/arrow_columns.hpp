// The text columns of an Arrow record batch as they are built, cell by cell,
// for arrow_batches.cpp: a utf8 column (32-bit offsets and the text) and a
// utf8_view column (16-byte views, strings of more than 12 bytes in a data
// buffer).  Each owns its buffers, and a column handed out is freed whole
// by its release callback.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace csv_mendle::arrow_columns {

// The most text one buffer of a column can hold: utf8 offsets and view
// offsets are signed 32-bit.
inline constexpr std::size_t kMaxColumnText = std::numeric_limits<std::int32_t>::max();

// Copies `n` bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as a word from
// each end (overlapping in the middle when short).
template <class Word>
inline void copy_ends(char* to, const char* from, std::size_t n) noexcept {
  Word head;
  Word tail;
  std::memcpy(&head, from, sizeof(Word));
  std::memcpy(&tail, from + n - sizeof(Word), sizeof(Word));
  std::memcpy(to, &head, sizeof(Word));
  std::memcpy(to + n - sizeof(Word), &tail, sizeof(Word));
}

// Copies `n` bytes with a few loads and stores, no call: most cells are a
// handful of bytes, where memcpy's call and dispatch would cost more than
// the copy.  Reads and writes only the `n` bytes.
inline void copy_cell(char* to, const char* from, std::size_t n) noexcept {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    copy_ends<std::uint64_t>(to, from, n);
  } else if (n >= 4) {
    copy_ends<std::uint32_t>(to, from, n);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

// Elements that grow without being zeroed first.  Small arrays are
// malloc'ed; past kMapBytes each has a mapping of its own, grown by mremap:
// its pages are never copied, those not yet written never become resident,
// and freeing it gives all of it back.  In malloc's heap the room reserved
// past a column's end and the blocks a batch freed stayed resident: more
// than a tenth of the batches' size, on top of them.
template <class T>
class RawArray {
 public:
  RawArray() = default;
  RawArray(RawArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  RawArray& operator=(RawArray&&) = delete;
  ~RawArray() {
    if (mapped(capacity_)) {
      ::munmap(data_, capacity_ * sizeof(T));
    } else {
      std::free(data_);
    }
  }

  T* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

  // Room for `n` more, returned; the size grows by `n`.
  T* extend(std::size_t n) {
    if (capacity_ - size_ < n) grow(size_ + n);
    T* at = data_ + size_;
    size_ += n;
    return at;
  }
  // Room for `n` in all.  `populate`, for room that will all be written
  // (views, offsets): a new mapping's pages are made resident at once, in
  // one call, rather than one page fault at a time as they are first
  // written, which costs most in a virtual machine.
  void reserve(std::size_t n, bool populate = false) {
    if (n > capacity_) grow(n, populate);
  }

 private:
  static constexpr std::size_t kMapBytes = std::size_t{64} << 10;
  static constexpr std::size_t kPageBytes = 4096;

  static bool mapped(std::size_t capacity) noexcept { return capacity * sizeof(T) >= kMapBytes; }

  void grow(std::size_t least, bool populate = false) {
    std::size_t capacity = std::max({least, capacity_ * 2, std::size_t{64}});
    if (mapped(capacity)) {
      // Whole pages: the mapping's tail is room too.
      capacity = (capacity * sizeof(T) + kPageBytes - 1) / kPageBytes * kPageBytes / sizeof(T);
    }
    void* grown = nullptr;
    if (!mapped(capacity)) {
      grown = std::realloc(data_, capacity * sizeof(T));
      if (grown == nullptr) throw std::bad_alloc();
    } else if (mapped(capacity_)) {
      grown = ::mremap(data_, capacity_ * sizeof(T), capacity * sizeof(T), MREMAP_MAYMOVE);
      if (grown == MAP_FAILED) throw std::bad_alloc();
    } else {
      grown = ::mmap(nullptr, capacity * sizeof(T), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0), -1, 0);
      if (grown == MAP_FAILED) throw std::bad_alloc();
      if (size_ > 0) std::memcpy(grown, data_, size_ * sizeof(T));
      std::free(data_);
    }
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// A column's validity bitmap, made at its first null: a column without
// nulls has none.
struct Validity {
  std::vector<std::uint8_t> bits;
  std::int64_t nulls = 0;

  void valid(std::size_t row) {
    if (!bits.empty()) set(row, true);
  }

  void null(std::size_t row) {
    if (bits.empty()) {
      // Every earlier row of the batch had a value here.
      bits.assign(row / 8 + 1, 0);
      for (std::size_t r = 0; r < row; ++r) set(r, true);
    }
    set(row, false);
    ++nulls;
  }

  // The bitmap for `length` rows, or null when there is no null.
  const void* buffer(std::size_t length) {
    if (nulls == 0) return nullptr;
    bits.resize((length + 7) / 8);
    return bits.data();
  }

 private:
  void set(std::size_t row, bool is_valid) {
    if (bits.size() <= row / 8) bits.resize(row / 8 + 1, 0);
    const auto mask = static_cast<std::uint8_t>(1u << (row % 8));
    bits[row / 8] = is_valid ? (bits[row / 8] | mask) : (bits[row / 8] & ~mask);
  }
};

// A utf8 ("u") column: 32-bit offsets and the text.  `append` returns
// false, for the row to start the next batch, when the text would pass
// what the offsets reach; whatever a row that did not fit appended lies
// past the batch's length, where no consumer looks.
struct TextColumn {
  static constexpr const char* kFormat = "u";
  static constexpr std::int64_t kBuffers = 3;

  RawArray<std::int32_t> offsets;
  RawArray<char> text;
  Validity validity;
  const void* buffers[kBuffers] = {};

  // Room for a batch of `rows` rows and `bytes` of text.
  TextColumn(std::size_t rows, std::size_t bytes) {
    offsets.reserve(rows + 1, true);
    *offsets.extend(1) = 0;
    text.reserve(bytes);
  }
  TextColumn(TextColumn&&) noexcept = default;

  bool append(std::size_t row, std::string_view cell) {
    if (cell.size() > kMaxColumnText - text.size()) return false;
    copy_cell(text.extend(cell.size()), cell.data(), cell.size());
    *offsets.extend(1) = static_cast<std::int32_t>(text.size());
    validity.valid(row);
    return true;
  }

  void append_null(std::size_t row) {
    validity.null(row);
    *offsets.extend(1) = static_cast<std::int32_t>(text.size());
  }

  // The text of the first `length` rows: what the next batch reserves.
  std::size_t text_bytes(std::size_t length) noexcept {
    return static_cast<std::size_t>(offsets.data()[length]);
  }

  // Points `buffers` at the first `length` rows.
  void seal(std::size_t length) {
    buffers[0] = validity.buffer(length);
    buffers[1] = offsets.data();
    text.reserve(1);  // the data buffer is never null, even when empty
    buffers[2] = text.data();
  }
};

// A utf8_view ("vu") column: a 16-byte view per row, which holds a string
// of up to 12 bytes itself and otherwise its first 4 bytes and where the
// rest lies in the column's one data buffer.  Consumers that keep strings
// as views (polars) take the column as it is, with no conversion.  Nulls
// and the bytes after a short string are zeros, as full validation asks.
struct ViewColumn {
  static constexpr const char* kFormat = "vu";
  // Validity, views, the data buffer and the data buffer's size: the C data
  // interface appends the variadic buffers' sizes as a buffer of their own.
  static constexpr std::int64_t kBuffers = 4;
  static constexpr std::size_t kInline = 12;

  struct View {
    std::uint32_t length;
    char bytes[kInline];  // the string, or its prefix, buffer index and offset
  };
  static_assert(sizeof(View) == 16);

  RawArray<View> views;
  RawArray<char> data;
  Validity validity;
  std::int64_t data_size[1] = {0};
  const void* buffers[kBuffers] = {};

  ViewColumn(std::size_t rows, std::size_t bytes) {
    views.reserve(rows, true);
    data.reserve(bytes);
  }
  ViewColumn(ViewColumn&&) noexcept = default;

  bool append(std::size_t row, std::string_view cell) {
    View view{.length = static_cast<std::uint32_t>(cell.size()), .bytes = {}};
    if (cell.size() <= kInline) {
      copy_cell(view.bytes, cell.data(), cell.size());
    } else {
      if (cell.size() > kMaxColumnText - data.size()) return false;
      const auto offset = static_cast<std::int32_t>(data.size());
      const std::int32_t buffer_index = 0;
      std::memcpy(view.bytes, cell.data(), 4);
      std::memcpy(view.bytes + 4, &buffer_index, 4);
      std::memcpy(view.bytes + 8, &offset, 4);
      copy_cell(data.extend(cell.size()), cell.data(), cell.size());
    }
    *views.extend(1) = view;
    validity.valid(row);
    return true;
  }

  void append_null(std::size_t row) {
    validity.null(row);
    *views.extend(1) = View{.length = 0, .bytes = {}};
  }

  // Only the data buffer is reserved ahead: the views take 16 bytes a row.
  std::size_t text_bytes(std::size_t) noexcept { return data.size(); }

  void seal(std::size_t length) {
    buffers[0] = validity.buffer(length);
    views.reserve(1);
    buffers[1] = views.data();
    data.reserve(1);
    buffers[2] = data.data();
    data_size[0] = static_cast<std::int64_t>(data.size());
    buffers[3] = data_size;
  }
};

}  // namespace csv_mendle::arrow_columns
