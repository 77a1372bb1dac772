// The clean output of file repair as it leaves the repair: rows whose bytes
// are their written form go out as spans of the input, rows that must be
// rewritten as the lines the writer makes of them.
#pragma once

#include <string_view>

#include "file_io.hpp"
#include "parser.hpp"

namespace csv_mendle {

class SpanWriter {
 public:
  SpanWriter(BufferedWriter& output, std::string_view input) noexcept
      : output_(output),
        span_begin_(input.data()),
        span_end_(input.data()),
        input_end_(input.data() + input.size()) {}

  // The row whose bytes (a view into the input, without the line break) are
  // its line: rows lying back to back form one span of the input, which goes
  // out in one write when a row that must be rewritten, or the end,
  // interrupts it.  A row's line break is its own LF, or an LF added behind
  // the input's last row.
  Status copy(std::string_view bytes);
  // The row of `row.bytes`, ended by LF, with each of its kept quotes (all
  // listed) doubled: a span runs up to and including each such quote, and
  // the next starts at that quote again.
  Status copy_doubling_kept_quotes(const RowFacts& row);
  // A line made by the writer.
  Status write_line(std::string_view line);
  // Writes what the span still holds; after it, nothing is pending.
  Status finish() { return write_span(); }

 private:
  Status write_span();
  // The span goes on at `row`, or, when rows set aside or rewritten lie
  // between, is written and starts again there.
  Status reach(const char* row);

  BufferedWriter& output_;
  const char* span_begin_;
  const char* span_end_;
  const char* const input_end_;
};

}  // namespace csv_mendle
