#include "mendle.hpp"

#include "heuristics.hpp"

#include <algorithm>

namespace csv_mendle {

namespace detail {

std::vector<std::string> take_open_fields(RowTable& rows) {
  std::vector<std::string> fields;
  fields.reserve(rows.open_field_count());
  for (std::size_t i = 0; i < rows.open_field_count(); ++i) fields.emplace_back(rows.open_field(i));
  rows.discard_row();
  return fields;
}

QuarantineRecord take_open_row(RowTable& rows, WidthVerdict verdict, std::uint64_t expected,
                               std::uint64_t line) {
  QuarantineRecord record;
  record.raw_fields = take_open_fields(rows);
  record.reason = quarantine_reason(verdict, expected);
  record.line = line;
  return record;
}

}  // namespace detail

ResilientParser table_parser(std::string_view input, const RepairOptions& options,
                             const Dialect& dialect) noexcept {
  ResilientParser parser =
      make_parser(input, dialect.delimiter, dialect.quote, options.repair_quotes,
                  field_rules(options));
  for (std::uint64_t k = 0; k < options.skip_rows && skip_line(parser); ++k) {
  }
  return parser;
}

bool next_header(ResilientParser& parser, const RepairOptions& options, RowTable& rows,
                 ChangeAccount& changes, std::uint64_t& first_line) {
  for (;;) {
    first_line = parser.line;
    if (skip_comment_line(parser, options.comment)) {
      changes.comment_lines.note(first_line);
      continue;
    }
    if (!next_row(parser, rows)) return false;
    // A blank line would make a header of one empty name, and the table one
    // column wide: like the heuristics, the header passes over it.
    if (rows.open_field_count() > 1 || !is_blank_field(rows.open_field(0))) return true;
    rows.discard_row();
    // A blank "line" may be a quoted field holding line breaks.
    const std::uint64_t lines = std::max<std::uint64_t>(parser.line - first_line, 1);
    if (changes.skipped_lines.rows == 0) changes.skipped_lines.first_line = first_line;
    changes.skipped_lines.rows += lines;
  }
}

namespace {

// The width of the table's header: its field count, 0 when it has none.
std::uint64_t header_width(std::string_view input, const RepairOptions& options,
                           const Dialect& dialect) {
  ResilientParser parser = table_parser(input, options, dialect);
  RowTable row;
  ChangeAccount unused;
  std::uint64_t first_line = 0;
  return next_header(parser, options, row, unused, first_line) ? row.open_field_count() : 0;
}

}  // namespace

Dialect settle_dialect(std::string_view input, const RepairOptions& options) {
  Dialect dialect;
  dialect.quote = options.sniff_quote ? '"' : options.quote_char;
  if (input.empty()) return dialect;
  // The heuristics read the rows as the repair will: from the table's start,
  // with its quote and field rules, past its comment lines.  A header stays in their sample:
  // one row of another width barely moves the delimiter's score.
  const std::string_view table = input.substr(table_parser(input, options, dialect).position);
  const FieldRules rules = field_rules(options);
  if (options.sniff_quote) {
    const SniffedQuote sniffed = sniff_quote(table, options.delimiter, options.comment, rules);
    dialect.quote = sniffed.quote;
    dialect.delimiter = sniffed.delimiter;
  } else {
    dialect.delimiter = options.delimiter
                            ? *options.delimiter
                            : sniff_delimiter(table, dialect.quote, options.comment, rules);
  }
  if (options.expected_columns) {
    dialect.expected_columns = *options.expected_columns;
  } else if (options.header) {
    dialect.expected_columns = header_width(input, options, dialect);
  } else {
    dialect.expected_columns =
        infer_column_count(table, dialect.delimiter, dialect.quote, options.comment, rules);
  }
  return dialect;
}

RepairReport empty_report(const Dialect& dialect) noexcept {
  RepairReport report;
  report.inferred_columns = dialect.expected_columns;
  report.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
  report.detected_quote = static_cast<char32_t>(dialect.quote);
  return report;
}

namespace {

// Once this many rows are kept, the reader's storage is reserved for the
// whole input by extrapolating from them.
constexpr std::uint64_t kSampleRows = 4096;

// Each part of the rows grows in proportion to what it holds after `read`
// of the input's `total` bytes.
void reserve_by_extrapolation(IndexedRows& rows, std::size_t read, std::size_t total) {
  if (read == 0 || read >= total) return;
  const double scale = 1.02 * static_cast<double>(total - read) / static_cast<double>(read);
  const auto grown = [&](std::size_t size) {
    return static_cast<std::size_t>(static_cast<double>(size) * scale) + 16;
  };
  rows.index.reserve(grown(rows.index.size()));
  RowTable& table = rows.table;
  if (table.empty()) return;
  table.reserve_by_extrapolation(read, total);
  table.text().reserve(table.text().size() + grown(table.text().size()));
}

// The reader's rows: plain rows of the right width stay in the input and
// are recorded by their start, the others are copied into the table.
class IndexSink {
 public:
  IndexSink(IndexedRows& rows, Header& header)
      : rows_(rows), header_(header), input_(rows.input.view()) {}

  RowTable& rows() noexcept { return rows_.table; }
  bool takes_plain(const SkimmedRow&, WidthVerdict verdict) const noexcept {
    return verdict == WidthVerdict::Keep;
  }
  bool deliver_plain(const SkimmedRow& row, WidthVerdict) {
    const auto start = static_cast<std::size_t>(row.text.data() - input_.data());
    rows_.index.add_plain(start);
    sample(start + row.text.size());
    return true;
  }
  bool deliver(RowTable& table, const ResilientParser& parser, WidthVerdict) {
    table.commit_row();
    rows_.index.add_table_row(table.size() - 1);
    sample(static_cast<std::size_t>(parser.position));
    return true;
  }
  void quarantine(QuarantineRecord&&) noexcept {}
  bool deliver_header(RowTable& table, const ResilientParser&) {
    header_ = detail::take_open_fields(table);
    return true;
  }

 private:
  void sample(std::size_t read) {
    if (rows_.index.size() == kSampleRows) reserve_by_extrapolation(rows_, read, input_.size());
  }

  IndexedRows& rows_;
  Header& header_;
  std::string_view input_;
};

}  // namespace

IndexOutcome mendle_indexed(ByteBuffer input, const RepairOptions& options) {
  IndexOutcome outcome;
  IndexedRows& rows = outcome.rows;
  rows.input = std::move(input);
  const std::string_view bytes = rows.input.view();
  const Dialect dialect = settle_dialect(bytes, options);
  rows.delimiter = dialect.delimiter;
  rows.quote = dialect.quote;
  rows.plain_width = dialect.expected_columns;
  outcome.report = empty_report(dialect);

  IndexSink sink(rows, outcome.header);
  repair_rows(bytes, options, dialect, outcome.report, sink);
  rows.index.shrink_to_fit();
  rows.table.shrink_to_fit();
  if (!rows.index.any_plain()) rows.input = ByteBuffer();
  return outcome;
}

}  // namespace csv_mendle
