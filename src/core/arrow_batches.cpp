#include "arrow_batches.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace csv_mendle {

namespace {

constexpr const char* kStructFormat = "+s";
constexpr const char* kUtf8Format = "u";
// The most text a utf8 column can hold: its offsets are signed 32-bit.
constexpr std::size_t kMaxColumnText = std::numeric_limits<std::int32_t>::max();

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

// One utf8 column of a batch as it is built: 32-bit offsets, the text, and
// a validity bitmap made at its first null (a column without nulls has
// none).  Owned by the column's ArrowArray once handed out.
struct TextColumn {
  std::vector<std::int32_t> offsets{0};
  std::string text;
  std::vector<std::uint8_t> validity;
  std::int64_t nulls = 0;
  const void* buffers[3] = {};

  // Appends a cell; false, appending nothing, when the column would pass
  // what 32-bit offsets reach.
  bool append(std::size_t row, std::string_view cell) {
    if (cell.size() > kMaxColumnText - text.size()) return false;
    text.append(cell);
    offsets.push_back(static_cast<std::int32_t>(text.size()));
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
    offsets.push_back(offsets.back());
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

using Columns = std::vector<std::unique_ptr<TextColumn>>;

// Hands `columns` of `length` rows to `out` as a struct array; nothing is
// allocated once the first column is handed over.
void fill_batch(Columns columns, std::size_t length, ArrowArray* out) {
  auto children = std::make_unique<BatchChildren>();
  children->arrays.resize(columns.size());
  children->pointers.resize(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    TextColumn* column = columns[c].release();
    column->validity.resize((length + 7) / 8);
    column->buffers[0] = column->nulls > 0 ? column->validity.data() : nullptr;
    column->buffers[1] = column->offsets.data();
    column->buffers[2] = column->text.data();  // never null, even when empty
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
  const bool fits = fields.visit([&](std::size_t f, std::string_view cell, bool) {
    bytes += cell.size();
    return columns[f]->append(at, cell);
  });
  if (!fits || (at > 0 && text_bytes + bytes > state.limits.text_bytes)) return false;
  for (std::size_t f = fields.size(); f < columns.size(); ++f) columns[f]->append_null(at);
  text_bytes += bytes;
  return true;
}

// The next batch of `state` into `out`: rows up to the limits.
void next_batch(StreamState& state, ArrowArray* out) {
  Columns columns(state.names.size());
  for (auto& column : columns) column = std::make_unique<TextColumn>();
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
  }
  fill_batch(std::move(columns), length, out);
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
  return column_names({}, width);
}

std::vector<std::string> column_names(std::span<const std::string> header, std::size_t width) {
  std::vector<std::string> names;
  names.reserve(std::max(width, header.size()));
  // Columns named "Unnamed: i" here are made unique last, as pandas does,
  // so that a given name keeps its form and the made-up one gives way.
  std::vector<std::size_t> order;
  std::vector<std::size_t> unnamed;
  for (const std::string& name : header) {
    (name.empty() ? unnamed : order).push_back(names.size());
    names.push_back(name.empty() ? "Unnamed: " + std::to_string(names.size()) : name);
  }
  while (names.size() < width) {
    order.push_back(names.size());
    names.push_back("column_" + std::to_string(names.size() + 1));
  }
  order.insert(order.end(), unnamed.begin(), unnamed.end());
  // pandas' own reader, step for step: a repeat of "a" tries "a.1", "a.2"
  // and on, passing over a candidate that any column bears at that moment
  // or that was handed out before, and each name keeps how often it was
  // met, for its next repeat.
  std::unordered_map<std::string, std::size_t> present;  // names borne now
  for (const std::string& name : names) ++present[name];
  std::unordered_map<std::string, std::size_t> met;
  for (const std::size_t column : order) {
    std::string& name = names[column];
    const std::string original = name;
    std::size_t count = met[original];
    while (count > 0) {
      met[original] = count + 1;
      name = original + "." + std::to_string(count);
      const auto borne = present.find(name);
      if (borne != present.end() && borne->second > 0) {
        ++count;
      } else {
        const auto before = met.find(name);
        count = before == met.end() ? 0 : before->second;
      }
    }
    if (name != original) {
      --present[original];
      ++present[name];
    }
    met[name] = count + 1;
  }
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
