// The Arrow C stream of delivered rows, read back through the C structs
// alone, as utf8 and as utf8_view: batches cut by rows and by text, nulls
// for missing cells, and each
// release callback freeing what it owns exactly once (AddressSanitizer's
// leak checker in `./dev sanitize` holds them to it).
#include "arrow_batches.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mendle.hpp"

namespace csv_mendle {
namespace {

using Cell = std::optional<std::string>;
using Rows = std::vector<std::vector<Cell>>;

DeliveredRows delivered(std::string_view bytes, std::optional<std::uint64_t> width) {
  ByteBuffer buffer(bytes.size());
  if (!bytes.empty()) std::memcpy(buffer.data(), bytes.data(), bytes.size());
  buffer.set_size(bytes.size());
  RepairOptions options;
  options.expected_columns = width;
  return DeliveredRows(mendle_indexed(std::move(buffer), options).rows);
}

// The rows as a consumer sees them, `width` cells each, null past a row's end.
Rows expected_rows(const DeliveredRows& rows, std::size_t first, std::size_t width) {
  Rows out;
  for (std::size_t i = first; i < rows.size(); ++i) {
    std::vector<Cell> cells(width);
    rows.row(i).visit([&](std::size_t f, std::string_view text, bool) {
      cells[f] = std::string(text);
      return true;
    });
    out.push_back(std::move(cells));
  }
  return out;
}

bool bit(const void* bitmap, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bitmap)[i / 8] >> (i % 8) & 1) != 0;
}

// Cell `r` of a utf8 column, checking its offsets.
Cell utf8_cell(const ArrowArray& column, std::int64_t r) {
  const auto* offsets = static_cast<const std::int32_t*>(column.buffers[1]);
  const auto* text = static_cast<const char*>(column.buffers[2]);
  EXPECT_EQ(offsets[0], 0);
  EXPECT_LE(offsets[r], offsets[r + 1]);
  return std::string(text + offsets[r], text + offsets[r + 1]);
}

// Cell `r` of a utf8_view column, checking its view: a short string inside
// it, zeros after; a long one's prefix, and where it lies in the one data
// buffer, whose size the last buffer gives.
Cell view_cell(const ArrowArray& column, std::int64_t r) {
  const char* view = static_cast<const char*>(column.buffers[1]) + 16 * r;
  std::uint32_t length;
  std::memcpy(&length, view, 4);
  if (length <= 12) {
    EXPECT_EQ(std::string(view + 4 + length, 12 - length), std::string(12 - length, '\0'));
    return std::string(view + 4, length);
  }
  std::int32_t buffer;
  std::int32_t offset;
  std::memcpy(&buffer, view + 8, 4);
  std::memcpy(&offset, view + 12, 4);
  EXPECT_EQ(buffer, 0);
  const auto* sizes = static_cast<const std::int64_t*>(column.buffers[3]);
  EXPECT_LE(offset + static_cast<std::int64_t>(length), sizes[0]);
  const std::string cell(static_cast<const char*>(column.buffers[2]) + offset, length);
  EXPECT_EQ(cell.substr(0, 4), std::string(view + 4, 4));
  return cell;
}

// Appends the rows of `batch` to `rows`, checking how each column is laid out.
void read_batch(const ArrowArray& batch, std::size_t width, TextLayout layout, Rows& rows) {
  ASSERT_EQ(batch.n_buffers, 1);
  ASSERT_EQ(batch.n_children, static_cast<std::int64_t>(width));
  ASSERT_EQ(batch.null_count, 0);
  const std::size_t first = rows.size();
  rows.resize(first + static_cast<std::size_t>(batch.length), std::vector<Cell>(width));
  for (std::size_t c = 0; c < width; ++c) {
    const ArrowArray& column = *batch.children[c];
    ASSERT_EQ(column.length, batch.length);
    ASSERT_EQ(column.n_buffers, layout == TextLayout::kUtf8 ? 3 : 4);
    for (std::int64_t b = 1; b < column.n_buffers; ++b) ASSERT_NE(column.buffers[b], nullptr);
    ASSERT_EQ(column.null_count == 0, column.buffers[0] == nullptr);
    std::int64_t nulls = 0;
    for (std::int64_t r = 0; r < column.length; ++r) {
      const Cell cell = layout == TextLayout::kUtf8 ? utf8_cell(column, r) : view_cell(column, r);
      if (column.buffers[0] != nullptr && !bit(column.buffers[0], r)) {
        ++nulls;
        EXPECT_EQ(cell, std::string());
        continue;
      }
      rows[first + static_cast<std::size_t>(r)][c] = cell;
    }
    EXPECT_EQ(nulls, column.null_count);
  }
}

struct ReadBack {
  Rows rows;
  std::vector<std::int64_t> batch_lengths;
};

ReadBack read_stream(ArrowArrayStream& stream, std::size_t width, TextLayout layout) {
  ReadBack out;
  ArrowSchema schema;
  EXPECT_EQ(stream.get_schema(&stream, &schema), 0);
  EXPECT_STREQ(schema.format, "+s");
  EXPECT_EQ(schema.n_children, static_cast<std::int64_t>(width));
  for (std::int64_t c = 0; c < schema.n_children; ++c) {
    EXPECT_STREQ(schema.children[c]->format, layout == TextLayout::kUtf8 ? "u" : "vu");
  }
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
  for (;;) {
    ArrowArray batch;
    EXPECT_EQ(stream.get_next(&stream, &batch), 0);
    if (batch.release == nullptr) break;
    read_batch(batch, width, layout, out.rows);
    out.batch_lengths.push_back(batch.length);
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
  }
  // The end stays the end.
  ArrowArray after;
  EXPECT_EQ(stream.get_next(&stream, &after), 0);
  EXPECT_EQ(after.release, nullptr);
  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
  return out;
}

const std::string kRagged = "a,b,c\n1,\"x\ny\",3\nq\n4,5,6,7\n\"\xc3\xa9\",,z\n";
// Strings of 12 bytes (held in a view) and 13 (in the data buffer).
const std::string kLong = "twelve bytes,thirteen bytes\n,\"quoted, 13 b\"\n";

struct StreamCase {
  const char* name;
  std::string input;
  std::optional<std::uint64_t> width;
  std::size_t first;
  BatchLimits limits;
  std::vector<std::int64_t> batch_lengths;
};

// Batch text caps of 8 bytes: "a,b,c" is 3 bytes, "1,x\ny,3" 5, "q" 1,
// "4,5,6,7" 4, "é,,z" 3.
const StreamCase kStreamCases[] = {
    {"ragged rows in one batch", kRagged, 0, 0, {}, {5}},
    {"from the first row not handed out", kRagged, 0, 2, {}, {3}},
    {"cut by rows", kRagged, 0, 0, {.rows = 2}, {2, 2, 1}},
    {"a row with nulls that does not fit starts the next batch", kRagged, 0, 0,
     {.text_bytes = 8}, {2, 3}},
    {"a row alone may pass the text cap", kRagged, 0, 0, {.text_bytes = 2}, {1, 1, 1, 1, 1}},
    // The batch built ahead on the bet of a full batch is dropped each time.
    {"batches cut by text before their rows", kRagged, 0, 0, {.rows = 2, .text_bytes = 4},
     {1, 1, 1, 1, 1}},
    {"padded rows have empty cells, not nulls", kRagged, 3, 0, {}, {5}},
    {"no rows, no batches", "", std::nullopt, 0, {}, {}},
    {"every row handed out already", "a\nb\n", std::nullopt, 2, {}, {}},
    {"strings of 12 and 13 bytes", kLong, std::nullopt, 0, {}, {2}},
};

TEST(arrow_stream, delivers_the_rows_as_stored_batch_by_batch) {
  for (const TextLayout layout : {TextLayout::kUtf8, TextLayout::kUtf8View}) {
    for (const StreamCase& c : kStreamCases) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(layout == TextLayout::kUtf8 ? "utf8" : "utf8_view");
      DeliveredRows rows = delivered(c.input, c.width);
      const std::size_t width = widest_row(rows);
      const Rows expected = expected_rows(rows, c.first, width);
      ArrowArrayStream stream;
      export_stream(std::move(rows), c.first, numbered_columns(width), &stream, c.limits, layout);
      const ReadBack got = read_stream(stream, width, layout);
      EXPECT_EQ(got.rows, expected);
      EXPECT_EQ(got.batch_lengths, c.batch_lengths);
    }
  }
}

TEST(arrow_stream, a_row_wider_than_the_names_fails_with_its_reason) {
  ArrowArrayStream stream;
  export_stream(delivered(kRagged, 0), 0, numbered_columns(2), &stream);
  ArrowArray batch;
  EXPECT_EQ(stream.get_next(&stream, &batch), EINVAL);
  EXPECT_STREQ(stream.get_last_error(&stream), "row 1 has 3 fields, more than the 2 columns");
  stream.release(&stream);
  // Met while building ahead, the failure waits for the row's turn: the
  // rows before it come first.
  export_stream(delivered(kRagged, 0), 0, numbered_columns(3), &stream, {.rows = 1});
  for (int row = 0; row < 3; ++row) {
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    EXPECT_EQ(batch.length, 1);
    batch.release(&batch);
  }
  EXPECT_EQ(stream.get_next(&stream, &batch), EINVAL);
  EXPECT_STREQ(stream.get_last_error(&stream), "row 4 has 4 fields, more than the 3 columns");
  stream.release(&stream);
}

TEST(arrow_stream, children_moved_out_outlive_their_parents) {
  ArrowArrayStream stream;
  export_stream(delivered(kRagged, 0), 0, numbered_columns(4), &stream);
  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  ArrowArray batch;
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  stream.release(&stream);
  // As a consumer moves a child: copy the struct, mark the original released.
  ArrowSchema last_schema = *schema.children[3];
  schema.children[3]->release = nullptr;
  ArrowArray last_column = *batch.children[3];
  batch.children[3]->release = nullptr;
  schema.release(&schema);
  batch.release(&batch);
  EXPECT_STREQ(last_schema.name, "column_4");
  EXPECT_STREQ(last_schema.format, "u");
  EXPECT_EQ(last_schema.flags, ARROW_FLAG_NULLABLE);
  EXPECT_EQ(last_column.null_count, 4);
  const auto* offsets = static_cast<const std::int32_t*>(last_column.buffers[1]);
  EXPECT_EQ(std::string_view(static_cast<const char*>(last_column.buffers[2]) + offsets[3], 1), "7");
  last_schema.release(&last_schema);
  last_column.release(&last_column);
}

TEST(arrow_columns, header_names_are_made_unique_as_pandas_makes_them) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(column_names({}, 3), (Names{"column_1", "column_2", "column_3"}));
  EXPECT_EQ(column_names({}, 0), Names{});
  const Names header = {"a", "", "a", "b", "a", "", "Unnamed: 1"};
  // The made-up names give way to the given ones.
  EXPECT_EQ(column_names(header, 3), (Names{"a", "Unnamed: 1.1", "a.1", "b", "a.2", "Unnamed: 5",
                                           "Unnamed: 1"}));
  // A candidate that a later column bears is passed over; so is one handed
  // out before.
  EXPECT_EQ(column_names(Names{"a", "a", "a.1"}, 0), (Names{"a", "a.2", "a.1"}));
  EXPECT_EQ(column_names(Names{"a", "a.1", "a", "a"}, 0), (Names{"a", "a.1", "a.2", "a.3"}));
  // Past the header the columns are numbered, and those too are unique.
  EXPECT_EQ(column_names(Names{"x", "column_3"}, 4),
            (Names{"x", "column_3", "column_3.1", "column_4"}));
}

}  // namespace
}  // namespace csv_mendle
