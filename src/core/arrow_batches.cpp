#include "arrow_batches.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <system_error>
#include <thread>
#include <utility>

#include "arrow_columns.hpp"

namespace csv_mendle {

namespace {

constexpr const char* kStructFormat = "+s";
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

using arrow_columns::TextColumn;
using arrow_columns::ViewColumn;

template <class Column>
void release_column(ArrowArray* array) noexcept {
  delete static_cast<Column*>(array->private_data);
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

// Hands `columns` of `length` rows to `out` as a struct array; nothing is
// allocated once the first column is handed over.
template <class Column>
void fill_batch(std::vector<Column>& columns, std::size_t length, ArrowArray* out) {
  auto children = std::make_unique<BatchChildren>();
  children->arrays.resize(columns.size());
  children->pointers.resize(columns.size());
  std::vector<std::unique_ptr<Column>> owned;
  owned.reserve(columns.size());
  for (Column& column : columns) {
    owned.push_back(std::make_unique<Column>(std::move(column)));
    owned.back()->seal(length);
  }
  for (std::size_t c = 0; c < owned.size(); ++c) {
    Column* column = owned[c].release();
    children->arrays[c] = ArrowArray{
        .length = static_cast<std::int64_t>(length), .null_count = column->validity.nulls,
        .offset = 0, .n_buffers = Column::kBuffers, .n_children = 0, .buffers = column->buffers,
        .children = nullptr, .dictionary = nullptr, .release = &release_column<Column>,
        .private_data = column};
    children->pointers[c] = &children->arrays[c];
  }
  *out = ArrowArray{.length = static_cast<std::int64_t>(length), .null_count = 0, .offset = 0,
                    .n_buffers = 1, .n_children = static_cast<std::int64_t>(columns.size()),
                    .buffers = children->buffers, .children = children->pointers.data(),
                    .dictionary = nullptr, .release = &release_batch,
                    .private_data = children.get()};
  children.release();
}

// A batch built and not yet handed out, and the rows it holds: released
// with its owner unless handed out.
struct BuiltBatch {
  ArrowArray array{};
  std::size_t first = 0;
  std::size_t end = 0;  // the row after its last
  // Each column's text: the next batch reserves as much, so that its
  // columns seldom grow (and copy) as built.
  std::vector<std::size_t> text;

  BuiltBatch() = default;
  BuiltBatch(const BuiltBatch&) = delete;
  BuiltBatch& operator=(const BuiltBatch&) = delete;
  ~BuiltBatch() {
    if (array.release != nullptr) array.release(&array);
  }
};

// The rows a stream has still to deliver, and what it tells of its last
// failure.
struct StreamState {
  DeliveredRows rows;
  std::size_t next = 0;
  std::vector<std::string> names;
  BatchLimits limits;
  TextLayout layout = TextLayout::kUtf8;
  std::string last_error;
  // The text of the last batch's columns, and its rows.
  std::vector<std::size_t> last_text;
  std::size_t last_rows = 0;
  // The batch after the last one handed out, built beside it on a second
  // thread (see next_batch), or null.
  std::unique_ptr<BuiltBatch> ahead;
};

// Appends row `row` of `state` as row `at` of `columns`, adding its text to
// `text_bytes`.  False when the row does not fit: a column would pass 32-bit
// offsets, or the batch's text its cap (a row alone in its batch is held to
// the first only).  The batch then ends before the row, and whatever of it
// was appended lies past the batch's length, where no consumer looks.
template <class Column>
bool append_row(const StreamState& state, std::size_t row, std::size_t at,
                std::vector<Column>& columns, std::size_t& text_bytes) {
  const DeliveredRow fields = state.rows.row(row);
  if (fields.size() > columns.size()) {
    throw BatchError(EINVAL, "row " + std::to_string(row + 1) + " has " +
                                 std::to_string(fields.size()) + " fields, more than the " +
                                 std::to_string(columns.size()) + " columns");
  }
  std::size_t bytes = 0;
  Column* const column = columns.data();
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
template <class Column>
std::vector<Column> new_columns(const StreamState& state, std::size_t rows) {
  std::vector<Column> columns;
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

// Builds the batch that starts at row `built.first`, up to the limits.  It
// only reads `state`, except that with `discard` it gives back the input of
// the rows it has copied (the thread building the batch to hand out next
// does; one building ahead must not, as rows before its own are still to
// be read).
template <class Column>
void build_batch(const StreamState& state, BuiltBatch& built, DeliveredRows* discard) {
  const std::size_t first = built.first;
  std::vector<Column> columns =
      new_columns<Column>(state, std::min(state.limits.rows, state.rows.size() - first));
  std::size_t length = 0;
  std::size_t text_bytes = 0;
  while (first + length < state.rows.size() && length < state.limits.rows) {
    if (!append_row(state, first + length, length, columns, text_bytes)) {
      if (length > 0) break;  // the row starts the next batch
      throw BatchError(EOVERFLOW, "row " + std::to_string(first + 1) +
                                      " has a field of 2 GiB or more, beyond a text column");
    }
    ++length;
    // The rows copied are never read again: their input goes back now and
    // then, so that the input and the batches are never both held whole.
    if (discard != nullptr && length % kDiscardRows == 0) discard->discard_before(first + length);
  }
  built.end = first + length;
  built.text.resize(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) built.text[c] = columns[c].text_bytes(length);
  fill_batch(columns, length, &built.array);
}

// Hands `built` out into `out` and moves the stream past it.
void hand_out(StreamState& state, BuiltBatch& built, ArrowArray* out) noexcept {
  *out = std::exchange(built.array, ArrowArray{});
  state.last_rows = built.end - built.first;
  state.last_text.swap(built.text);
  state.next = built.end;
  state.rows.discard_before(state.next);
}

// The next batch of `state` into `out`.  Building the rows' batches takes
// most of a load into pandas or polars, so while this thread builds the
// batch to hand out now, a second builds the one after it, on the bet that
// this batch is cut by its rows (each is but the last, unless the text cap
// cuts it first).  A lost bet, or a failure there, only drops that
// batch: it is built again in its turn, and the same rows always make the
// same batch, so the consumer sees what one thread would have made.
template <class Column>
void next_batch(StreamState& state, ArrowArray* out) {
  std::unique_ptr<BuiltBatch> ahead = std::move(state.ahead);
  if (ahead != nullptr && ahead->first == state.next) {
    hand_out(state, *ahead, out);
    return;
  }
  ahead.reset();
  BuiltBatch now;
  now.first = state.next;
  const std::size_t bet = state.next + state.limits.rows;
  {
    std::jthread helper;
    if (bet < state.rows.size()) {
      ahead = std::make_unique<BuiltBatch>();
      ahead->first = bet;
      try {
        helper = std::jthread([&state, built = ahead.get()]() noexcept {
          try {
            build_batch<Column>(state, *built, nullptr);
          } catch (...) {
            built->end = 0;  // lost: never handed out
          }
        });
      } catch (const std::system_error&) {
        ahead.reset();  // no second thread: one builds all
      }
    }
    build_batch<Column>(state, now, &state.rows);
  }  // the helper has finished
  hand_out(state, now, out);
  if (ahead != nullptr && ahead->end > ahead->first && ahead->first == state.next) {
    state.ahead = std::move(ahead);
  }
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
  return stream_call(stream,
                     [&](StreamState& state) { export_schema(state.names, out, state.layout); });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  return stream_call(stream, [&](StreamState& state) {
    if (state.next >= state.rows.size()) {
      *out = ArrowArray{};  // released: the end of the stream
      return;
    }
    if (state.layout == TextLayout::kUtf8View) {
      next_batch<ViewColumn>(state, out);
    } else {
      next_batch<TextColumn>(state, out);
    }
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

void export_schema(const std::vector<std::string>& names, ArrowSchema* out, TextLayout layout) {
  const char* format = layout == TextLayout::kUtf8View ? ViewColumn::kFormat : TextColumn::kFormat;
  std::vector<std::unique_ptr<std::string>> owned;
  owned.reserve(names.size());
  for (const std::string& name : names) owned.push_back(std::make_unique<std::string>(name));
  auto children = std::make_unique<SchemaChildren>();
  children->schemas.resize(names.size());
  children->pointers.resize(names.size());
  for (std::size_t c = 0; c < names.size(); ++c) {
    std::string* name = owned[c].release();
    children->schemas[c] = ArrowSchema{
        .format = format, .name = name->c_str(), .metadata = nullptr,
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
                   ArrowArrayStream* out, BatchLimits limits, TextLayout layout) {
  auto state = std::make_unique<StreamState>();
  state->rows = std::move(rows);
  state->next = first;
  state->names = std::move(names);
  // A batch always makes progress.
  state->limits = BatchLimits{.rows = std::max<std::size_t>(limits.rows, 1),
                              .text_bytes = limits.text_bytes};
  state->layout = layout;
  *out = ArrowArrayStream{.get_schema = &stream_get_schema, .get_next = &stream_get_next,
                          .get_last_error = &stream_get_last_error,
                          .release = &stream_release, .private_data = state.release()};
}

}  // namespace csv_mendle
