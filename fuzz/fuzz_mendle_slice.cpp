// Fuzzes the in-memory repair with random options (field rules among them):
// whatever the bytes and the options, the counts must add up, every
// delivered row must have the applied width, and no row may be lost or
// duplicated.  The reader's repair, which leaves plain rows in the input,
// must deliver the very same rows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "fuzz_case.hpp"
#include "heuristics.hpp"
#include "mendle.hpp"
#include "parser.hpp"
#include "plain_row.hpp"
#include "utf8.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The reader's repair delivers the very rows of the in-memory one.
void check_indexed(std::string_view data, const csv_mendle::RepairOptions& options,
                   const csv_mendle::SliceOutcome& o) {
  const std::size_t length = data.size();
  csv_mendle::ByteBuffer buffer(length);
  if (length != 0) std::memcpy(buffer.data(), data.data(), length);
  buffer.set_size(length);
  const csv_mendle::IndexOutcome indexed = csv_mendle::mendle_indexed(std::move(buffer), options);
  check(indexed.report.total_rows == o.report.total_rows);
  check(indexed.report.mendled_rows == o.report.mendled_rows);
  check(indexed.report.repaired_rows == o.report.repaired_rows);
  check(indexed.report.quarantined_rows == o.report.quarantined_rows);
  check(indexed.report.inferred_columns == o.report.inferred_columns);
  check(indexed.report.detected_delimiter == o.report.detected_delimiter);
  check(indexed.report.detected_quote == o.report.detected_quote);
  check(indexed.header == o.header);
  const csv_mendle::IndexedRows& rows = indexed.rows;
  check(rows.index.size() == o.rows.size());
  for (std::size_t r = 0; r < rows.index.size(); ++r) {
    const csv_mendle::RowView expected = o.rows.row(r);
    const csv_mendle::IndexedRow row = csv_mendle::indexed_row(rows, r);
    if (row.plain) {
      std::size_t i = 0;
      csv_mendle::visit_plain_row(rows.input.view(), row.start, rows.delimiter, rows.quote,
                                  [&](std::string_view field, bool ascii) {
                                    check(i < expected.size() && field == expected.field(i));
                                    check(ascii == csv_mendle::is_ascii(field));
                                    ++i;
                                    return true;
                                  });
      check(i == expected.size());
    } else {
      check(row.fields.size() == expected.size());
      for (std::size_t i = 0; i < expected.size(); ++i) check(row.fields.field(i) == expected.field(i));
    }
  }
}

void check_case(std::string_view data, const csv_mendle::RepairOptions& options) {
  const std::size_t length = data.size();
  const csv_mendle::SliceOutcome o = csv_mendle::mendle_slice(data, options);
  check(o.report.total_rows == o.report.mendled_rows + o.report.quarantined_rows);
  check(o.report.repaired_rows <= o.report.mendled_rows);
  // The header counts as delivered, apart from the rows.
  check(o.report.mendled_rows == o.rows.size() + (o.header ? 1 : 0));
  check(!o.header || options.header);
  check(o.report.quarantined_rows == o.quarantine.size());
  if (options.expected_columns) check(length == 0 || o.report.inferred_columns == *options.expected_columns);
  if (options.delimiter && length != 0) check(o.report.detected_delimiter == *options.delimiter);

  // Every row the parser yields ends up delivered or quarantined, in order,
  // but for blank lines before a header.
  std::uint64_t parsed = 0;
  if (length != 0) {
    const unsigned char delimiter = static_cast<unsigned char>(o.report.detected_delimiter);
    const unsigned char quote = static_cast<unsigned char>(o.report.detected_quote);
    check(options.sniff_quote ? quote == '"' || quote == '\'' : quote == options.quote_char);
    csv_mendle::ResilientParser parser =
        csv_mendle::make_parser(data, delimiter, quote, options.repair_quotes,
                                csv_mendle::field_rules(options));
    csv_mendle::RowTable table;
    bool before_header = options.header;
    while (csv_mendle::next_row(parser, table)) {
      const bool blank =
          table.open_field_count() == 1 && csv_mendle::is_blank_field(table.open_field(0));
      table.clear();
      if (before_header && blank) continue;
      before_header = false;
      ++parsed;
    }
  }
  check(parsed == o.report.total_rows);

  std::size_t quarantine_index = 0;
  for (const auto& record : o.quarantine) {
    check(!record.raw_fields.empty());
    check(record.raw_fields.size() != o.report.inferred_columns && o.report.inferred_columns != 0);
    check(record.line >= 1);
    if (quarantine_index > 0) check(record.line >= o.quarantine[quarantine_index - 1].line);
    ++quarantine_index;
  }
  for (std::size_t r = 0; r < o.rows.size(); ++r) {
    const csv_mendle::RowView row = o.rows.row(r);
    check(row.size() >= 1);
    if (o.report.inferred_columns > 0) check(row.size() == o.report.inferred_columns);
    for (std::size_t i = 0; i < row.size(); ++i) check(csv_mendle::is_valid_utf8(row.field(i)));
  }
  check_indexed(data, options, o);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  csv_mendle::fuzzing::FuzzCase input;
  if (!csv_mendle::fuzzing::decode_case(bytes, size, input)) return 0;
  check_case(input.data, input.options);
  if (input.with_rules) check_case(input.data, *input.with_rules);
  return 0;
}
