#include "span_writer.hpp"

#include <cstddef>

namespace csv_mendle {

Status SpanWriter::write_span() {
  const Status written = output_.write_line(
      std::string_view(span_begin_, static_cast<std::size_t>(span_end_ - span_begin_)));
  span_begin_ = span_end_;
  return written;
}

Status SpanWriter::reach(const char* row) {
  if (row == span_end_) return success();
  const Status written = write_span();
  span_begin_ = span_end_ = row;
  return written;
}

Status SpanWriter::copy(std::string_view bytes) {
  if (Status reached = reach(bytes.data()); !reached) return reached;
  const char* const stop = bytes.data() + bytes.size();
  if (stop != input_end_) {
    span_end_ = stop + 1;  // its LF
    return success();
  }
  // The last row, without a line break.
  if (Status written = write_span(); !written) return written;
  span_begin_ = span_end_ = input_end_;
  return output_.write_line(bytes, '\n');
}

Status SpanWriter::copy_doubling_kept_quotes(const RowFacts& row) {
  const char* const start = row.bytes.data();
  if (Status reached = reach(start); !reached) return reached;
  for (unsigned i = 0; i < row.kept_quotes; ++i) {
    span_end_ = start + row.kept_quote_at[i] + 1;
    if (Status written = write_span(); !written) return written;
    span_begin_ = span_end_ - 1;
  }
  span_end_ = start + row.bytes.size() + 1;
  return success();
}

Status SpanWriter::write_line(std::string_view line) {
  if (Status written = write_span(); !written) return written;
  return output_.write_line(line);
}

}  // namespace csv_mendle
