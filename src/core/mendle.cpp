#include "mendle.hpp"

#include "heuristics.hpp"

namespace csv_mendle {

namespace detail {

std::string reason_text(const char* what, std::uint64_t expected) {
  return std::string("Row has ") + what + " (expected " + std::to_string(expected) + ")";
}

QuarantineRecord take_open_row(RowTable& rows, const char* what, std::uint64_t expected,
                               std::uint64_t line) {
  QuarantineRecord record;
  record.raw_fields.reserve(rows.open_field_count());
  for (std::size_t i = 0; i < rows.open_field_count(); ++i) {
    record.raw_fields.emplace_back(rows.open_field(i));
  }
  record.reason = reason_text(what, expected);
  record.line = line;
  rows.discard_row();
  return record;
}

}  // namespace detail

namespace {

// Once this many rows are kept, the offsets are reserved for the whole input
// by extrapolating from them: doubling growth would leave up to half of each
// offset array unused, and copy it on every growth.
constexpr std::uint64_t kSampleRows = 4096;

void reserve_by_extrapolation(RowTable& rows, std::size_t read, std::size_t total) {
  if (read == 0 || read >= total || rows.empty()) return;
  std::size_t fields = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) fields += rows.row(r).size();
  const double scale = 1.02 * static_cast<double>(total - read) / static_cast<double>(read);
  rows.reserve(static_cast<std::size_t>(static_cast<double>(rows.size()) * scale) + 16,
               static_cast<std::size_t>(static_cast<double>(fields) * scale) + 16);
}

// The same for the rows of a reader, whose table holds only the rows that
// are not plain: each part grows in proportion to what it holds so far.
void reserve_by_extrapolation(IndexedRows& rows, std::size_t read, std::size_t total) {
  if (read == 0 || read >= total) return;
  const double scale = 1.02 * static_cast<double>(total - read) / static_cast<double>(read);
  rows.index.reserve(static_cast<std::size_t>(static_cast<double>(rows.index.size()) * scale) + 16);
  if (rows.table.empty()) return;
  reserve_by_extrapolation(rows.table, read, total);
  std::string& text = rows.table.text();
  text.reserve(text.size() + static_cast<std::size_t>(static_cast<double>(text.size()) * scale) + 16);
}

}  // namespace

Dialect settle_dialect(std::string_view input, const RepairOptions& options) {
  Dialect dialect;
  if (input.empty()) return dialect;
  dialect.delimiter = options.delimiter ? *options.delimiter : sniff_delimiter(input);
  dialect.expected_columns = options.expected_columns
                                 ? *options.expected_columns
                                 : infer_column_count(input, dialect.delimiter);
  return dialect;
}

SliceOutcome mendle_slice(std::string_view input, const RepairOptions& options) {
  SliceOutcome outcome;
  const Dialect dialect = settle_dialect(input, options);
  // Decoded text is rarely longer than its bytes: reserving the input's size
  // up front avoids regrowing (and copying) the table's text buffer.
  if (!input.empty()) outcome.rows.text().reserve(input.size());

  RepairCounts counts;
  RowTable& rows = outcome.rows;
  repair_rows(
      input, options, dialect, rows, counts,
      [&](RowTable& table, const ResilientParser& parser, bool) {
        table.commit_row();
        if (table.size() == kSampleRows) {
          reserve_by_extrapolation(table, parser.position, input.size());
        }
        return true;
      },
      [&](QuarantineRecord&& record) { outcome.quarantine.push_back(std::move(record)); });

  outcome.total_rows = counts.total_rows;
  outcome.mendled_rows = counts.mendled_rows;
  outcome.repaired_rows = counts.repaired_rows;
  outcome.quarantined_rows = counts.quarantined_rows;
  outcome.inferred_columns = dialect.expected_columns;
  outcome.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
  return outcome;
}

IndexOutcome mendle_indexed(ByteBuffer input, const RepairOptions& options) {
  IndexOutcome outcome;
  IndexedRows& rows = outcome.rows;
  rows.input = std::move(input);
  const std::string_view bytes = rows.input.view();
  const Dialect dialect = settle_dialect(bytes, options);
  rows.delimiter = dialect.delimiter;
  rows.quote = options.quote_char;
  rows.plain_width = dialect.expected_columns;

  RowIndex& index = rows.index;
  const auto sample = [&](std::size_t read) {
    if (index.size() == kSampleRows) reserve_by_extrapolation(rows, read, bytes.size());
  };
  repair_rows(
      bytes, options, dialect, rows.table, outcome.counts,
      [&](RowTable& table, const ResilientParser& parser, bool) {
        table.commit_row();
        index.add_table_row(table.size() - 1);
        sample(parser.position);
        return true;
      },
      [](QuarantineRecord&&) {},
      [&](std::string_view text) {
        const auto start = static_cast<std::size_t>(text.data() - bytes.data());
        index.add_plain(start);
        sample(start + text.size());
        return true;
      });
  index.shrink_to_fit();
  rows.table.shrink_to_fit();
  if (!index.any_plain()) rows.input = ByteBuffer();

  outcome.inferred_columns = dialect.expected_columns;
  outcome.detected_delimiter = static_cast<char32_t>(dialect.delimiter);
  return outcome;
}

}  // namespace csv_mendle
