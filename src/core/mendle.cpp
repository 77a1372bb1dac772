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

}  // namespace csv_mendle
