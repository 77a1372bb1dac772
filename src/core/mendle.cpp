#include "mendle.hpp"

#include "heuristics.hpp"

namespace csv_mendle {

namespace detail {

QuarantineRecord take_open_row(RowTable& rows, WidthVerdict verdict, std::uint64_t expected,
                               std::uint64_t line) {
  QuarantineRecord record;
  record.raw_fields.reserve(rows.open_field_count());
  for (std::size_t i = 0; i < rows.open_field_count(); ++i) {
    record.raw_fields.emplace_back(rows.open_field(i));
  }
  record.reason = quarantine_reason(verdict, expected);
  record.line = line;
  rows.discard_row();
  return record;
}

}  // namespace detail

ResilientParser table_parser(std::string_view input, const RepairOptions& options,
                             unsigned char delimiter) noexcept {
  ResilientParser parser =
      make_parser(input, delimiter, options.quote_char, options.repair_quotes,
                  field_rules(options));
  for (std::uint64_t k = 0; k < options.skip_rows && skip_line(parser); ++k) {
  }
  return parser;
}

Dialect settle_dialect(std::string_view input, const RepairOptions& options) {
  Dialect dialect;
  if (input.empty()) return dialect;
  // The heuristics read the rows as the repair will: from the table's start,
  // with its quote and field rules, past its comment lines.
  const std::string_view table = input.substr(table_parser(input, options, ',').position);
  const unsigned char quote = options.quote_char;
  const FieldRules rules = field_rules(options);
  dialect.delimiter = options.delimiter ? *options.delimiter
                                        : sniff_delimiter(table, quote, options.comment, rules);
  dialect.expected_columns =
      options.expected_columns
          ? *options.expected_columns
          : infer_column_count(table, dialect.delimiter, quote, options.comment, rules);
  return dialect;
}

RepairReport empty_report(const Dialect& dialect) noexcept {
  RepairReport report;
  report.inferred_columns = dialect.expected_columns;
  report.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
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
  explicit IndexSink(IndexedRows& rows) : rows_(rows), input_(rows.input.view()) {}

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

 private:
  void sample(std::size_t read) {
    if (rows_.index.size() == kSampleRows) reserve_by_extrapolation(rows_, read, input_.size());
  }

  IndexedRows& rows_;
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
  rows.quote = options.quote_char;
  rows.plain_width = dialect.expected_columns;
  outcome.report = empty_report(dialect);

  IndexSink sink(rows);
  repair_rows(bytes, options, dialect, outcome.report, sink);
  rows.index.shrink_to_fit();
  rows.table.shrink_to_fit();
  if (!rows.index.any_plain()) rows.input = ByteBuffer();
  return outcome;
}

}  // namespace csv_mendle
