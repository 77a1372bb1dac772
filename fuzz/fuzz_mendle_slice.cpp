// Fuzzes the in-memory repair with random options: whatever the bytes and the
// options, the counts must add up, every delivered row must have the applied
// width, and no row may be lost or duplicated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "mendle.hpp"
#include "parser.hpp"
#include "utf8.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  // Four option bytes lead the input: flags, delimiter, quote, column count.
  constexpr std::size_t header = 4;
  if (size < header) return 0;
  const std::uint8_t flags = bytes[0];
  csv_mendle::RepairOptions options;
  if (flags & 1) options.delimiter = bytes[1];
  if (flags & 2) options.quote_char = bytes[2];
  options.fill_ragged_rows = (flags & 4) != 0;
  options.merge_overflow = (flags & 8) != 0;
  options.repair_quotes = (flags & 16) != 0;
  if (flags & 32) options.expected_columns = bytes[3] % 16;

  // A private copy of exactly the data's size, so that reads past its end are caught.
  const std::size_t length = size - header;
  std::unique_ptr<char[]> copy(new char[length == 0 ? 1 : length]);
  if (length != 0) std::memcpy(copy.get(), bytes + header, length);
  const std::string_view data(copy.get(), length);

  const csv_mendle::SliceOutcome o = csv_mendle::mendle_slice(data, options);
  check(o.total_rows == o.mendled_rows + o.quarantined_rows);
  check(o.repaired_rows <= o.mendled_rows);
  check(o.mendled_rows == o.rows.size());
  check(o.quarantined_rows == o.quarantine.size());
  if (options.expected_columns) check(length == 0 || o.inferred_columns == *options.expected_columns);
  if (options.delimiter && length != 0) check(o.detected_delimiter == *options.delimiter);

  // Every row the parser yields ends up delivered or quarantined, in order.
  std::uint64_t parsed = 0;
  if (length != 0) {
    const unsigned char delimiter = static_cast<unsigned char>(o.detected_delimiter);
    csv_mendle::ResilientParser parser =
        csv_mendle::make_parser(data, delimiter, options.quote_char, options.repair_quotes);
    csv_mendle::RowTable table;
    while (csv_mendle::next_row(parser, table)) {
      table.clear();
      ++parsed;
    }
  }
  check(parsed == o.total_rows);

  std::size_t quarantine_index = 0;
  for (const auto& record : o.quarantine) {
    check(!record.raw_fields.empty());
    check(record.raw_fields.size() != o.inferred_columns && o.inferred_columns != 0);
    check(record.line >= 1);
    if (quarantine_index > 0) check(record.line >= o.quarantine[quarantine_index - 1].line);
    ++quarantine_index;
  }
  for (std::size_t r = 0; r < o.rows.size(); ++r) {
    const csv_mendle::RowView row = o.rows.row(r);
    check(row.size() >= 1);
    if (o.inferred_columns > 0) check(row.size() == o.inferred_columns);
    for (std::size_t i = 0; i < row.size(); ++i) check(csv_mendle::is_valid_utf8(row.field(i)));
  }
  return 0;
}
