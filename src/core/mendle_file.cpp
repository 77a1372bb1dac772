#include "mendle_file.hpp"

#include <sys/stat.h>

#include <string>
#include <utility>

#include "csv_writer.hpp"
#include "file_io.hpp"
#include "span_writer.hpp"

namespace csv_mendle {

namespace {

using File = MendleError::File;

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

// Each row is written as soon as it is judged: the repaired rows never
// exist all at once, and the row table holds one row at a time.  The
// writer judges whether a row's bytes are its line.
class FileSink {
 public:
  FileSink(SpanWriter& spans, const OutputDialect& dialect, const WidthRule& rule,
           unsigned char delimiter, unsigned char quote)
      : spans_(spans), dialect_(dialect), rule_(rule), delimiter_(delimiter), quote_(quote) {}

  RowTable& rows() noexcept { return rows_; }
  std::vector<QuarantineRecord>& quarantined() noexcept { return quarantined_; }
  const Status& status() const noexcept { return status_; }

  bool takes_plain(const SkimmedRow& row, WidthVerdict verdict) const noexcept {
    return is_delivered(verdict) && plain_row_copies(row, dialect_);
  }
  bool deliver_plain(const SkimmedRow& row, WidthVerdict verdict) {
    if (verdict == WidthVerdict::Keep) return went(spans_.copy(row.text));
    const PlainResize resize =
        plain_resize(verdict, rule_, row.text, row.fields, delimiter_, quote_);
    line_.clear();
    append_resized_plain_line(line_, row.text, resize, dialect_);
    return went(spans_.write_line(line_));
  }
  bool deliver(RowTable& table, const ResilientParser& parser, WidthVerdict verdict) {
    const RowCopy copy =
        verdict == WidthVerdict::Keep ? row_copy(parser.row, dialect_) : RowCopy::Rewrite;
    Status written = success();
    if (copy == RowCopy::Bytes) {
      written = spans_.copy(parser.row.bytes);
    } else if (copy == RowCopy::BytesDoublingKeptQuotes) {
      written = spans_.copy_doubling_kept_quotes(parser.row);
    } else {
      line_.clear();
      append_output_line(line_, table.open_view(), dialect_);
      written = spans_.write_line(line_);
    }
    table.discard_row();
    return went(written);
  }
  void quarantine(QuarantineRecord&& record) { quarantined_.push_back(std::move(record)); }
  // The header is the output's first line, written like a row kept as it is.
  bool deliver_header(RowTable& table, const ResilientParser& parser) {
    return deliver(table, parser, WidthVerdict::Keep);
  }

 private:
  bool went(const Status& written) {
    if (written) return true;
    status_ = written;
    return false;
  }

  SpanWriter& spans_;
  const OutputDialect& dialect_;
  const WidthRule& rule_;
  const unsigned char delimiter_;  // the delimiter and quote rows are read with
  const unsigned char quote_;
  RowTable rows_;
  std::vector<QuarantineRecord> quarantined_;
  std::string line_;
  Status status_ = success();
};

Status write_quarantine(BufferedWriter& writer, const std::vector<QuarantineRecord>& records,
                        const OutputDialect& dialect) {
  Status written = writer.write_line(kQuarantineHeader);
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

// Creates the quarantine file, once the output is complete, and writes it.
Status write_quarantine_file(std::string_view path, int output_fd,
                             const std::vector<QuarantineRecord>& records,
                             const OutputDialect& dialect) {
  // Two spellings of a path that did not exist before the output was
  // created could not be compared up front; now the output exists.
  if (names_open_file(path, output_fd)) return MendleError::of(MendleError::Cause::QuarantineIsOutput);
  Result<UniqueFd> file = create_for_writing(path);
  if (!file) return file.error();
  BufferedWriter quarantine(std::move(file).value());
  if (Status written = write_quarantine(quarantine, records, dialect); !written) return written;
  return quarantine.close();
}

// The dialect of the clean CSV: the delimiter and quote read unless
// `written` names others.
OutputDialect output_dialect(unsigned char delimiter, unsigned char quote,
                             const OutputOptions& written) {
  const unsigned char d = written.delimiter.value_or(delimiter);
  const unsigned char q = written.quote.value_or(quote);
  return OutputDialect(d, q, {.as_read = d == delimiter && q == quote, .crlf = written.crlf});
}

// An input read whole, in UTF-8, and how it was read.
struct ReadInput {
  TextInput text;
  Compression compression = Compression::None;
};

// The bytes of `input` as they are, or decompressed when asked and compressed.
Result<RawInput> read_raw(const InputSource& input, bool decompress) {
  if (input.kind == InputSource::Kind::Bytes) {
    if (decompress) return copy_decompressing(input.text);
    Result<ByteBuffer> copy = copy_all(input.text);
    if (!copy) return copy.error();
    return RawInput{std::move(copy).value(), Compression::None};
  }
  Result<UniqueFd> file = open_for_reading(input.text);
  if (!file) return file.error();
  if (decompress) return read_decompressing(file.value().get());
  Result<ByteBuffer> read = read_all(file.value().get());
  if (!read) return read.error();
  return RawInput{std::move(read).value(), Compression::None};
}

// The one reading step of every repair: read, decompress, transcode.  Its
// errors are the input's.
Result<ReadInput> read_input(const InputSource& input, const InputRequest& request) {
  Result<RawInput> raw = read_raw(input, request.decompress);
  if (!raw) return raw.error().about(File::Input);
  Result<TextInput> text = as_utf8(std::move(raw.value().bytes), request.encoding);
  if (!text) return text.error().about(File::Input);
  return ReadInput{std::move(text).value(), raw.value().compression};
}

}  // namespace

Result<IndexOutcome> mendle_indexed_file(const InputSource& input, const RepairOptions& options,
                                         const InputRequest& request) {
  Result<ReadInput> read = read_input(input, request);
  if (!read) return read.error();
  IndexOutcome outcome = mendle_indexed(std::move(read.value().text.utf8), options);
  outcome.report.encoding = read.value().text.encoding;
  outcome.report.compression = read.value().compression;
  return outcome;
}

Result<RepairReport> mendle_file(const InputSource& input, std::string_view output_path,
                                 std::optional<std::string_view> quarantine_path,
                                 const RepairOptions& options, const InputRequest& request,
                                 const OutputOptions& form) {
  // Writing the quarantine file over the output file would destroy the
  // repaired rows, so that is refused before any file is touched.
  if (quarantine_path &&
      (*quarantine_path == output_path || same_existing_file(*quarantine_path, output_path))) {
    return MendleError::of(MendleError::Cause::QuarantineIsOutput).about(File::Quarantine);
  }
  // The whole input is in memory before any output file is created, so the
  // output may replace the input file itself.
  Result<ReadInput> read = read_input(input, request);
  if (!read) return read.error();
  const TextInput& text = read.value().text;
  const std::string_view bytes = text.utf8.view();
  const Dialect dialect = settle_dialect(bytes, options);
  // A delimiter and quote asked for apart from each other may still meet:
  // known only now when the delimiter was sniffed, and checked before the
  // output exists, so that nothing is written.  (Read as one, they are
  // written as read.)
  const OutputDialect written_as = output_dialect(dialect.delimiter, dialect.quote, form);
  if ((form.delimiter || form.quote) && written_as.delimiter() == written_as.quote()) {
    return MendleError::of(MendleError::Cause::OutputQuoteIsDelimiter).about(File::Output);
  }

  Result<UniqueFd> output_file = create_for_writing(output_path);
  if (!output_file) return output_file.error().about(File::Output);
  BufferedWriter output(std::move(output_file).value(), nullptr, kOutputBufferBytes);
  if (form.bom) {
    if (Status marked = output.write_line(kUtf8Bom); !marked) return marked.error().about(File::Output);
  }
  const OutputDialect read_as(dialect.delimiter, dialect.quote);
  const WidthRule rule{dialect.expected_columns, options.fill_ragged_rows, options.merge_overflow};
  SpanWriter spans(output, bytes);
  FileSink sink(spans, written_as, rule, dialect.delimiter, dialect.quote);
  RepairReport report = empty_report(dialect);
  report.encoding = text.encoding;
  report.compression = read.value().compression;
  repair_rows(bytes, options, dialect, report, sink);
  if (!sink.status()) return sink.status().error().about(File::Output);
  if (Status written = spans.finish(); !written) return written.error().about(File::Output);
  if (Status flushed = output.flush(); !flushed) return flushed.error().about(File::Output);

  if (quarantine_path) {
    const Status written =
        write_quarantine_file(*quarantine_path, output.fd(), sink.quarantined(), read_as);
    if (!written) return written.error().about(File::Quarantine);
  }
  if (Status closed = output.close(); !closed) return closed.error().about(File::Output);
  return report;
}

}  // namespace csv_mendle
