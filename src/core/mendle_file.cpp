#include "mendle_file.hpp"

#include <sys/stat.h>

#include <string>
#include <utility>

#include "csv_writer.hpp"
#include "file_io.hpp"

namespace csv_mendle {

namespace {

// True when both paths name an existing file and it is the same one, however
// each path spells it (another relative form, a symbolic or hard link).
bool same_existing_file(std::string_view a, std::string_view b) {
  if (a.find('\0') != std::string_view::npos || b.find('\0') != std::string_view::npos) {
    return false;
  }
  struct stat first, second;
  return ::stat(std::string(a).c_str(), &first) == 0 &&
         ::stat(std::string(b).c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// True when `path` names the file open as `fd`.
bool names_open_file(std::string_view path, int fd) {
  if (path.find('\0') != std::string_view::npos) return false;
  struct stat named, open;
  return ::fstat(fd, &open) == 0 && ::stat(std::string(path).c_str(), &named) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

// Repaired rows interrupt the spans of unchanged input, which then reach the
// output buffer in short pieces: with a megabyte per system write rather
// than 8 KiB, the cost of the calls themselves stays out of sight.
constexpr std::size_t kOutputBufferBytes = std::size_t{1} << 20;

Status write_quarantine(BufferedWriter& writer, const std::vector<QuarantineRecord>& records,
                        const OutputDialect& dialect) {
  Status written = writer.write_line(quarantine_header);
  if (!written) return written;
  std::string line;
  for (const QuarantineRecord& record : records) {
    line.clear();
    append_quarantine_line(line, record, dialect);
    written = writer.write_line(line);
    if (!written) return written;
  }
  return writer.flush();
}

}  // namespace

Result<RepairReport> mendle_file(std::string_view input_path, std::string_view output_path,
                                 std::optional<std::string_view> quarantine_path,
                                 const RepairOptions& options) {
  // Writing the quarantine file over the output file would destroy the
  // repaired rows, so that is refused before any file is touched.
  const auto quarantine_is_output = MendleError::of(MendleError::Cause::QuarantineIsOutput);
  if (quarantine_path &&
      (*quarantine_path == output_path || same_existing_file(*quarantine_path, output_path))) {
    return quarantine_is_output;
  }

  // Declared first so that it is closed last, on every path.
  Result<UniqueFd> input = open_for_reading(input_path);
  if (!input) return input.error();
  // The whole input is in memory before any output file is created, so the
  // output may replace the input file itself.
  Result<ByteBuffer> buffer = read_all(input.value().get());
  if (!buffer) return buffer.error();
  const std::string_view bytes = buffer.value().view();
  const Dialect dialect = settle_dialect(bytes, options);

  Result<UniqueFd> output_file = create_for_writing(output_path);
  if (!output_file) return output_file.error();
  BufferedWriter output(std::move(output_file).value(), nullptr, kOutputBufferBytes);

  // Each row is written as soon as it is judged: the repaired rows never
  // exist all at once, and the row table holds one row at a time.
  const OutputDialect written_as(dialect.delimiter, options.quote_char);
  RowTable rows;
  RepairCounts counts;
  std::vector<QuarantineRecord> quarantined;
  std::string line;
  Status row_written = success();
  // A row whose own bytes are exactly what the writer would make of it is
  // written as those bytes, and its line break is a lone LF unless it ends
  // the input.  Such rows lying back to back form one span of the input,
  // which goes out in one write when a row that must be rewritten, or the
  // end, interrupts it.
  const char* span_begin = bytes.data();
  const char* span_end = bytes.data();
  const char* const input_end = bytes.data() + bytes.size();
  const auto write_span = [&] {
    row_written = output.write_line(
        std::string_view(span_begin, static_cast<std::size_t>(span_end - span_begin)));
    span_begin = span_end;
    return row_written.ok();
  };
  // The span goes on at `row`, or, when rows set aside or rewritten lie
  // between, is written and starts again there.
  const auto span_reaches = [&](const char* row) {
    if (row == span_end) return true;
    if (!write_span()) return false;
    span_begin = span_end = row;
    return true;
  };
  const auto pass_through = [&](std::string_view text) {
    const char* const row = text.data();
    const char* const stop = row + text.size();
    if (!span_reaches(row)) return false;
    if (stop == input_end) {  // the last row, without a line break
      if (!write_span()) return false;
      row_written = output.write_line(text, '\n');
      span_begin = span_end = input_end;
      return row_written.ok();
    }
    span_end = stop + 1;
    return true;
  };
  // A row written back as its bytes with some quotes doubled goes out as
  // spans too: one runs up to and including each such quote, and the next
  // starts at that quote again.  The input's last row, with no line break
  // to end the span, is left to `rewrite`.
  const auto pass_through_doubling = [&](const ResilientParser& parser) {
    const char* const row = parser.row_text.data();
    if (!span_reaches(row)) return false;
    for (unsigned i = 0; i < parser.row_kept_quotes; ++i) {
      span_end = row + parser.row_kept_quote_at[i] + 1;
      if (!write_span()) return false;
      span_begin = span_end - 1;
    }
    span_end = row + parser.row_text.size() + 1;
    return true;
  };
  // A row whose written form differs from its bytes ends the span and goes
  // out as the line `append` makes.
  const auto rewrite = [&](auto&& append) {
    if (!write_span()) return false;
    line.clear();
    append(line);
    row_written = output.write_line(line);
    return row_written.ok();
  };
  repair_rows(
      bytes, options, dialect, rows, counts,
      [&](RowTable& table, const ResilientParser& parser, bool repaired) {
        const bool doubling = !repaired && parser.row_kept_quotes > 0 &&
                              parser.row_text.data() + parser.row_text.size() != input_end;
        const bool ok = parser.row_verbatim && !repaired ? pass_through(parser.row_text)
                        : doubling                       ? pass_through_doubling(parser)
                                                         : rewrite([&](std::string& out) {
                                                             append_output_line(
                                                                 out, table.open_view(), written_as);
                                                           });
        table.discard_row();
        return ok;
      },
      [&](QuarantineRecord&& record) { quarantined.push_back(std::move(record)); },
      [&](std::string_view text, std::uint64_t fields) {
        if (dialect.expected_columns == 0 || fields == dialect.expected_columns) {
          return pass_through(text);
        }
        // A plain row that is padded or merged is written from its bytes.
        return rewrite([&](std::string& out) {
          append_resized_plain_line(out, text, fields, dialect.expected_columns, written_as);
        });
      });
  if (row_written) write_span();
  if (!row_written) return row_written.error();
  if (Status flushed = output.flush(); !flushed) return flushed.error();

  if (quarantine_path) {
    // Two spellings of a path that did not exist before the output was
    // created could not be compared up front; now the output exists.
    if (names_open_file(*quarantine_path, output.fd())) return quarantine_is_output;
    Result<UniqueFd> quarantine_file = create_for_writing(*quarantine_path);
    if (!quarantine_file) return quarantine_file.error();
    BufferedWriter quarantine(std::move(quarantine_file).value());
    if (Status written = write_quarantine(quarantine, quarantined, written_as); !written) {
      return written.error();
    }
    if (Status closed = quarantine.close(); !closed) return closed.error();
  }
  if (Status closed = output.close(); !closed) return closed.error();

  return RepairReport{counts.total_rows,       counts.mendled_rows,       counts.repaired_rows,
                      counts.quarantined_rows, dialect.expected_columns,
                      static_cast<char32_t>(dialect.delimiter)};
}

}  // namespace csv_mendle
