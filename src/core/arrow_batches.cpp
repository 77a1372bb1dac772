#include "arrow_batches.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace csv_mendle {

namespace {

constexpr const char* kStructFormat = "+s";
constexpr const char* kUtf8Format = "u";
// The most text a utf8 column can hold: its offsets are signed 32-bit.
constexpr std::size_t kMaxColumnText = std::numeric_limits<std::int32_t>::max();
// How many rows a batch copies between giving back the input they came from.
constexpr std::size_t kDiscardRows = 4096;

// A failure of get_next that the consumer learns as this error number, with
// the text from get_last_error.
class BatchError : public std::runtime_error {
 public:
  BatchError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
  int code() const noexcept { return code_; }

 private:
  int code_;
};

// ---- schema ----

// What a struct schema points to: its children, each of which owns its name
// (a child may be moved out and outlive its parent).
struct SchemaChildren {
  std::vector<ArrowSchema> schemas;
  std::vector<ArrowSchema*> pointers;
};

void release_child_schema(ArrowSchema* schema) noexcept {
  delete static_cast<std::string*>(schema->private_data);
  schema->release = nullptr;
}

void release_struct_schema(ArrowSchema* schema) noexcept {
  auto* children = static_cast<SchemaChildren*>(schema->private_data);
  for (ArrowSchema* child : children->pointers) {
    if (child->release != nullptr) child->release(child);
  }
  delete children;
  schema->release = nullptr;
}

// ---- batches ----

// Copies `n` bytes with a few loads and stores, no call: most cells are a
// handful of bytes, where memcpy's call and dispatch would cost more than
// the copy.  Reads and writes only the `n` bytes (overlapping when short).
inline void copy_cell(char* to, const char* from, std::size_t n) noexcept {
  if (n >= 8) {
    if (n > 16) {
      std::memcpy(to, from, n);
      return;
    }
    std::uint64_t head;
    std::uint64_t tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4) {
    std::uint32_t head;
    std::uint32_t tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

// Bytes that grow without being zeroed first.  Small ones are malloc'ed;
// past kMapBytes each has a mapping of its own, grown by mremap: its pages
// are never copied, those not yet written never become resident, and
// freeing it gives all of it back.  In malloc's heap the room reserved past
// a column's end and the blocks a batch freed stayed resident: more than a
// tenth of the batches' size, on top of them.
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
  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }

 private:
  static constexpr std::size_t kMapBytes = std::size_t{64} << 10;

  static bool mapped(std::size_t capacity) noexcept { return capacity * sizeof(T) >= kMapBytes; }

  void grow(std::size_t least) {
    std::size_t capacity = std::max({least, capacity_ * 2, std::size_t{64}});
    if (mapped(capacity)) {
      // Whole pages: the mapping's tail is room too.
      capacity = (capacity * sizeof(T) + kMapBytes - 1) / kMapBytes * kMapBytes / sizeof(T);
    }
    T* grown = nullptr;
    if (!mapped(capacity)) {
      grown = static_cast<T*>(std::realloc(data_, capacity * sizeof(T)));
      if (grown == nullptr) throw std::bad_alloc();
    } else if (mapped(capacity_)) {
      void* p = ::mremap(data_, capacity_ * sizeof(T), capacity * sizeof(T), MREMAP_MAYMOVE);
      if (p == MAP_FAILED) throw std::bad_alloc();
      grown = static_cast<T*>(p);
    } else {
      void* p = ::mmap(nullptr, capacity * sizeof(T), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      grown = static_cast<T*>(p);
      if (size_ > 0) std::memcpy(grown, data_, size_ * sizeof(T));
      std::free(data_);
    }
    data_ = grown;
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// One utf8 column of a batch as it is built: 32-bit offsets, the text, and
// a validity bitmap made at its first null (a column without nulls has
// none).  Owned by the column's ArrowArray once handed out.
struct TextColumn {
  RawArray<std::int32_t> offsets;
  RawArray<char> text;
  std::vector<std::uint8_t> validity;
  std::int64_t nulls = 0;
  const void* buffers[3] = {};

  // Room for a batch of `rows` rows and `bytes` of text, the first offset 0.
  TextColumn(std::size_t rows, std::size_t bytes) {
    offsets.reserve(rows + 1);
    *offsets.extend(1) = 0;
    text.reserve(bytes);
  }
  TextColumn(TextColumn&&) noexcept = default;

  // Appends a cell as row `row`; false, appending nothing, when the column
  // would pass what 32-bit offsets reach.
  bool append(std::size_t row, std::string_view cell) {
    if (cell.size() > kMaxColumnText - text.size()) return false;
    copy_cell(text.extend(cell.size()), cell.data(), cell.size());
    *offsets.extend(1) = static_cast<std::int32_t>(text.size());
    if (!validity.empty()) set_bit(row, true);
    return true;
  }

  void append_null(std::size_t row) {
    if (validity.empty()) {
      // Every earlier row of the batch had a value here.
      validity.assign(row / 8 + 1, 0);
      for (std::size_t r = 0; r < row; ++r) set_bit(r, true);
    }
    set_bit(row, false);
    *offsets.extend(1) = static_cast<std::int32_t>(text.size());
    ++nulls;
  }

  void set_bit(std::size_t row, bool valid) {
    if (validity.size() <= row / 8) validity.resize(row / 8 + 1, 0);
    const auto mask = static_cast<std::uint8_t>(1u << (row % 8));
    validity[row / 8] = valid ? (validity[row / 8] | mask) : (validity[row / 8] & ~mask);
  }
};

void release_column(ArrowArray* array) noexcept {
  delete static_cast<TextColumn*>(array->private_data);
  array->release = nullptr;
}

// What a batch's struct array points to besides its columns.
struct BatchChildren {
  std::vector<ArrowArray> arrays;
  std::vector<ArrowArray*> pointers;
  const void* buffers[1] = {nullptr};  // no struct-level nulls
};

void release_batch(ArrowArray* array) noexcept {
  auto* children = static_cast<BatchChildren*>(array->private_data);
  for (ArrowArray* child : children->pointers) {
    if (child->release != nullptr) child->release(child);
  }
  delete children;
  array->release = nullptr;
}

using Columns = std::vector<TextColumn>;

// Hands `columns` of `length` rows to `out` as a struct array; nothing is
// allocated once the first column is handed over.
void fill_batch(Columns& columns, std::size_t length, ArrowArray* out) {
  auto children = std::make_unique<BatchChildren>();
  children->arrays.resize(columns.size());
  children->pointers.resize(columns.size());
  std::vector<std::unique_ptr<TextColumn>> owned;
  owned.reserve(columns.size());
  for (TextColumn& column : columns) {
    owned.push_back(std::make_unique<TextColumn>(std::move(column)));
    if (owned.back()->nulls > 0) owned.back()->validity.resize((length + 7) / 8);
    owned.back()->text.reserve(1);  // the data buffer is never null, even when empty
  }
  for (std::size_t c = 0; c < owned.size(); ++c) {
    TextColumn* column = owned[c].release();
    column->buffers[0] = column->nulls > 0 ? column->validity.data() : nullptr;
    column->buffers[1] = column->offsets.data();
    column->buffers[2] = column->text.data();
    children->arrays[c] = ArrowArray{
        .length = static_cast<std::int64_t>(length), .null_count = column->nulls, .offset = 0,
        .n_buffers = 3, .n_children = 0, .buffers = column->buffers, .children = nullptr,
        .dictionary = nullptr, .release = &release_column, .private_data = column};
    children->pointers[c] = &children->arrays[c];
  }
  *out = ArrowArray{.length = static_cast<std::int64_t>(length), .null_count = 0, .offset = 0,
                    .n_buffers = 1, .n_children = static_cast<std::int64_t>(columns.size()),
                    .buffers = children->buffers, .children = children->pointers.data(),
                    .dictionary = nullptr, .release = &release_batch,
                    .private_data = children.get()};
  children.release();
}

// The rows a stream has still to deliver, and what it tells of its last
// failure.
struct StreamState {
  DeliveredRows rows;
  std::size_t next = 0;
  std::vector<std::string> names;
  BatchLimits limits;
  std::string last_error;
  // Each column's text in the last batch, and its rows: the next batch
  // reserves as much, so that its columns seldom grow (and copy) as built.
  std::vector<std::size_t> last_text;
  std::size_t last_rows = 0;
};

// Appends row `row` of `state` as row `at` of `columns`, adding its text to
// `text_bytes`.  False when the row does not fit: a column would pass 32-bit
// offsets, or the batch's text its cap (a row alone in its batch is held to
// the first only).  The batch then ends before the row, and whatever of it
// was appended lies past the batch's length, where no consumer looks.
bool append_row(const StreamState& state, std::size_t row, std::size_t at, Columns& columns,
                std::size_t& text_bytes) {
  const DeliveredRow fields = state.rows.row(row);
  if (fields.size() > columns.size()) {
    throw BatchError(EINVAL, "row " + std::to_string(row + 1) + " has " +
                                 std::to_string(fields.size()) + " fields, more than the " +
                                 std::to_string(columns.size()) + " columns");
  }
  std::size_t bytes = 0;
  TextColumn* const column = columns.data();
  const bool fits = fields.visit([&](std::size_t f, std::string_view cell, bool) {
    bytes += cell.size();
    return column[f].append(at, cell);
  });
  if (!fits || (at > 0 && text_bytes + bytes > state.limits.text_bytes)) return false;
  for (std::size_t f = fields.size(); f < columns.size(); ++f) column[f].append_null(at);
  text_bytes += bytes;
  return true;
}

// Empty columns with room for a batch of `rows` rows.
Columns new_columns(const StreamState& state, std::size_t rows) {
  Columns columns;
  columns.reserve(state.names.size());
  for (std::size_t c = 0; c < state.names.size(); ++c) {
    std::size_t bytes = 0;
    if (state.last_rows > 0) {
      // As much text per row as last time, and an eighth more.
      bytes = state.last_text[c] / state.last_rows * rows;
      bytes += bytes / 8;
    }
    columns.emplace_back(rows, std::min(bytes, state.limits.text_bytes));
  }
  return columns;
}

// The next batch of `state` into `out`: rows up to the limits.
void next_batch(StreamState& state, ArrowArray* out) {
  Columns columns = new_columns(state, std::min(state.limits.rows, state.rows.size() - state.next));
  std::size_t length = 0;
  std::size_t text_bytes = 0;
  while (state.next < state.rows.size() && length < state.limits.rows) {
    if (!append_row(state, state.next, length, columns, text_bytes)) {
      if (length > 0) break;  // the row starts the next batch
      throw BatchError(EOVERFLOW, "row " + std::to_string(state.next + 1) +
                                      " has a field of 2 GiB or more, beyond a utf8 column");
    }
    ++length;
    ++state.next;
    // The rows delivered are copied out and never read again: their input
    // goes back now and then, so that the input and the batches are never
    // both held whole.
    if (length % kDiscardRows == 0) state.rows.discard_before(state.next);
  }
  state.last_text.resize(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    state.last_text[c] = static_cast<std::size_t>(columns[c].offsets.data()[length]);
  }
  state.last_rows = length;
  fill_batch(columns, length, out);
  state.rows.discard_before(state.next);
}

StreamState& state_of(ArrowArrayStream* stream) noexcept {
  return *static_cast<StreamState*>(stream->private_data);
}

// Keeps `what` for get_last_error and returns `code`.  Called inside the
// catch block: the text belongs to the exception, which dies with it.
int failed(StreamState& state, int code, const char* what) noexcept {
  try {
    state.last_error = what;
  } catch (...) {
    state.last_error.clear();  // no text rather than none at all
  }
  return code;
}

// Runs one stream callback: 0, or its error number with the text kept.
template <class Body>
int stream_call(ArrowArrayStream* stream, Body&& body) noexcept {
  StreamState& state = state_of(stream);
  try {
    body(state);
    return 0;
  } catch (const BatchError& error) {
    return failed(state, error.code(), error.what());
  } catch (const std::bad_alloc&) {
    return failed(state, ENOMEM, "out of memory");
  } catch (const std::exception& error) {
    return failed(state, EIO, error.what());
  } catch (...) {
    return failed(state, EIO, "unknown failure");
  }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  return stream_call(stream, [&](StreamState& state) { export_schema(state.names, out); });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  return stream_call(stream, [&](StreamState& state) {
    if (state.next >= state.rows.size()) {
      *out = ArrowArray{};  // released: the end of the stream
      return;
    }
    next_batch(state, out);
  });
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
  const std::string& error = state_of(stream).last_error;
  return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) noexcept {
  delete static_cast<StreamState*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

std::size_t widest_row(const DeliveredRows& rows) {
  std::size_t widest = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) widest = std::max(widest, rows.row(i).size());
  return widest;
}

std::vector<std::string> numbered_columns(std::size_t width) {
  std::vector<std::string> names;
  names.reserve(width);
  for (std::size_t c = 1; c <= width; ++c) names.push_back("column_" + std::to_string(c));
  return names;
}

void export_schema(const std::vector<std::string>& names, ArrowSchema* out) {
  std::vector<std::unique_ptr<std::string>> owned;
  owned.reserve(names.size());
  for (const std::string& name : names) owned.push_back(std::make_unique<std::string>(name));
  auto children = std::make_unique<SchemaChildren>();
  children->schemas.resize(names.size());
  children->pointers.resize(names.size());
  for (std::size_t c = 0; c < names.size(); ++c) {
    std::string* name = owned[c].release();
    children->schemas[c] = ArrowSchema{
        .format = kUtf8Format, .name = name->c_str(), .metadata = nullptr,
        .flags = ARROW_FLAG_NULLABLE, .n_children = 0, .children = nullptr,
        .dictionary = nullptr, .release = &release_child_schema, .private_data = name};
    children->pointers[c] = &children->schemas[c];
  }
  *out = ArrowSchema{.format = kStructFormat, .name = "", .metadata = nullptr, .flags = 0,
                     .n_children = static_cast<std::int64_t>(names.size()),
                     .children = children->pointers.data(), .dictionary = nullptr,
                     .release = &release_struct_schema, .private_data = children.get()};
  children.release();
}

void export_stream(DeliveredRows rows, std::size_t first, std::vector<std::string> names,
                   ArrowArrayStream* out, BatchLimits limits) {
  auto state = std::make_unique<StreamState>();
  state->rows = std::move(rows);
  state->next = first;
  state->names = std::move(names);
  // A batch always makes progress.
  state->limits = BatchLimits{.rows = std::max<std::size_t>(limits.rows, 1),
                              .text_bytes = limits.text_bytes};
  *out = ArrowArrayStream{.get_schema = &stream_get_schema, .get_next = &stream_get_next,
                          .get_last_error = &stream_get_last_error,
                          .release = &stream_release, .private_data = state.release()};
}

}  // namespace csv_mendle
