#include "mendle.hpp"

#include "heuristics.hpp"
#include "parser.hpp"
#include "utf8.hpp"

namespace csv_mendle {

namespace {

std::string reason_text(const char* what, std::uint64_t expected) {
  return std::string("Row has ") + what + " (expected " + std::to_string(expected) + ")";
}

// Moves the open row out of the table into a quarantine record.
void quarantine_open_row(SliceOutcome& outcome, const char* what, std::uint64_t expected,
                         std::uint64_t line) {
  RowTable& rows = outcome.rows;
  QuarantineRecord record;
  record.raw_fields.reserve(rows.open_field_count());
  for (std::size_t i = 0; i < rows.open_field_count(); ++i) {
    record.raw_fields.emplace_back(rows.open_field(i));
  }
  record.reason = reason_text(what, expected);
  record.line = line;
  rows.discard_row();
  outcome.quarantine.push_back(std::move(record));
}

// Once this many rows are read, the offsets are reserved for the whole input
// by extrapolating from them: doubling growth would leave up to half of each
// offset array unused, and copy it on every growth.
constexpr std::uint64_t kSampleRows = 4096;

void reserve_by_extrapolation(SliceOutcome& outcome, const ResilientParser& parser) {
  const RowTable& rows = outcome.rows;
  const std::uint64_t read = parser.position;
  const std::uint64_t total = parser.data.size();
  if (read == 0 || read >= total || rows.empty()) return;
  std::size_t fields = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) fields += rows.row(r).size();
  const double scale = 1.02 * static_cast<double>(total - read) / static_cast<double>(read);
  outcome.rows.reserve(static_cast<std::size_t>(static_cast<double>(rows.size()) * scale) + 16,
                       static_cast<std::size_t>(static_cast<double>(fields) * scale) + 16);
}

}  // namespace

SliceOutcome mendle_slice(std::string_view input, const RepairOptions& options) {
  SliceOutcome outcome;
  // Nothing to judge: the options are not even consulted.
  if (input.empty()) return outcome;

  const unsigned char delimiter =
      options.delimiter ? *options.delimiter : sniff_delimiter(input);
  const std::uint64_t expected = options.expected_columns
                                     ? *options.expected_columns
                                     : infer_column_count(input, delimiter);

  // Surplus fields are joined with the delimiter as a character, so a byte of
  // 0x80 or more joins as its two-byte UTF-8 form.
  std::string separator;
  append_latin1_char(separator, delimiter);

  // Decoded text is rarely longer than its bytes: reserving the input's size
  // up front avoids regrowing (and copying) the table's text buffer.
  outcome.rows.text().reserve(input.size());

  ResilientParser parser = make_parser(input, delimiter, options.quote_char, options.repair_quotes);
  RowTable& rows = outcome.rows;
  while (next_row(parser, rows)) {
    ++outcome.total_rows;
    if (outcome.total_rows == kSampleRows) reserve_by_extrapolation(outcome, parser);
    const std::uint64_t n = rows.open_field_count();
    if (expected == 0 || n == expected) {
      rows.commit_row();
    } else if (n < expected) {
      if (options.fill_ragged_rows) {
        rows.pad_open_row(expected);
        rows.commit_row();
        ++outcome.repaired_rows;
      } else {
        quarantine_open_row(outcome, "too few columns", expected, parser.line);
      }
    } else if (options.merge_overflow) {
      rows.merge_open_row(expected, separator);
      rows.commit_row();
      ++outcome.repaired_rows;
    } else {
      quarantine_open_row(outcome, "extra columns", expected, parser.line);
    }
  }

  outcome.mendled_rows = rows.size();
  outcome.quarantined_rows = outcome.quarantine.size();
  outcome.inferred_columns = expected;
  outcome.detected_delimiter = static_cast<char32_t>(delimiter);
  return outcome;
}

}  // namespace csv_mendle
