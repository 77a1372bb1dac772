// Fuzzes the output writer: whatever the bytes and the options, the clean CSV
// written for the delivered rows, read back by the strict RFC-4180 reader,
// gives exactly those rows, and the quarantine CSV gives one record per
// quarantined row with its line, reason and raw content.  A plain row
// padded or merged from its bytes is written as the writer writes it parsed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "csv_writer.hpp"
#include "fuzz_case.hpp"
#include "mendle.hpp"
#include "parser.hpp"
#include "row_table.hpp"
#include "strict_reader.hpp"
#include "utf8.hpp"

namespace {

using csv_mendle::reference::read_strict;
using csv_mendle::reference::Record;

void check(bool condition) {
  if (!condition) std::abort();
}

std::string latin1(unsigned char byte) { return std::string(csv_mendle::latin1_char(byte).view()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  csv_mendle::fuzzing::FuzzCase input;
  if (!csv_mendle::fuzzing::decode_case(bytes, size, input)) return 0;
  const csv_mendle::RepairOptions& options = input.options;
  const std::string_view data = input.data;

  const csv_mendle::SliceOutcome outcome = csv_mendle::mendle_slice(data, options);
  const auto delimiter = static_cast<unsigned char>(outcome.report.detected_delimiter);
  const csv_mendle::OutputDialect dialect(delimiter, options.quote_char);
  const std::string d = latin1(delimiter);
  const std::string q = latin1(options.quote_char);
  check(dialect.delimiter() == d && dialect.quote() == q);

  std::string written;
  for (std::size_t r = 0; r < outcome.rows.size(); ++r) {
    csv_mendle::append_output_line(written, outcome.rows.row(r), dialect);
  }
  check(csv_mendle::is_valid_utf8(written));

  // A delimiter equal to the quote, or either of them a line end, makes any
  // CSV ambiguous; the writer must still not fault, but there is nothing to
  // read back.
  const bool readable = delimiter != options.quote_char && delimiter != '\n' &&
                        delimiter != '\r' && options.quote_char != '\n' &&
                        options.quote_char != '\r';
  if (readable) {
    const std::optional<std::vector<Record>> read = read_strict(written, d, q);
    check(read.has_value());
    check(read->size() == outcome.rows.size());
    for (std::size_t r = 0; r < read->size(); ++r) {
      const csv_mendle::RowView row = outcome.rows.row(r);
      const Record& record = (*read)[r];
      check(record.size() == row.size());
      for (std::size_t f = 0; f < row.size(); ++f) check(record[f] == row.field(f));
    }
  }

  // A plain row padded or merged from its own bytes is the line of the
  // parsed row, padded or merged.
  if (readable && delimiter < 0x80 && options.quote_char < 0x80) {
    csv_mendle::ResilientParser parser =
        csv_mendle::make_parser(data, delimiter, options.quote_char, options.repair_quotes);
    csv_mendle::RowTable table;
    csv_mendle::SkimmedRow plain;
    while (parser.position < data.size()) {
      if (!csv_mendle::skim_row(parser, plain) || !csv_mendle::plain_row_copies(plain, dialect)) {
        csv_mendle::next_row(parser, table);
        table.discard_row();
        continue;
      }
      const std::uint64_t widths[] = {1, plain.fields > 1 ? plain.fields - 1 : 1, plain.fields + 2};
      for (const std::uint64_t width : widths) {
        csv_mendle::ResilientParser same_row = parser;
        check(csv_mendle::next_row(same_row, table));
        const csv_mendle::WidthRule rule{width, true, true};
        const csv_mendle::WidthVerdict verdict = csv_mendle::judge_width(rule, plain.fields);
        csv_mendle::apply_width(verdict, rule, table, d);
        std::string expected;
        csv_mendle::append_output_line(expected, table.open_view(), dialect);
        table.discard_row();
        std::string line;
        csv_mendle::append_resized_plain_line(
            line, plain.text,
            csv_mendle::plain_resize(verdict, rule, plain.text, plain.fields, delimiter,
                                     options.quote_char),
            dialect);
        check(line == expected);
      }
      csv_mendle::accept_row(parser, plain);
    }
  }

  // The quarantine CSV always uses the comma and the double quote, so it
  // reads back whatever D and Q are.
  std::string quarantine(csv_mendle::kQuarantineHeader);
  for (const csv_mendle::QuarantineRecord& record : outcome.quarantine) {
    csv_mendle::append_quarantine_line(quarantine, record, dialect);
  }
  check(csv_mendle::is_valid_utf8(quarantine));
  const std::optional<std::vector<Record>> set_aside = read_strict(quarantine, ",", "\"");
  check(set_aside.has_value());
  check(set_aside->size() == outcome.quarantine.size() + 1);
  check((*set_aside)[0] == Record{"line", "reason", "raw_content"});
  for (std::size_t k = 0; k < outcome.quarantine.size(); ++k) {
    const csv_mendle::QuarantineRecord& record = outcome.quarantine[k];
    const Record& read = (*set_aside)[k + 1];
    check(read.size() == 3);
    check(read[0] == std::to_string(record.line));
    check(read[1] == record.reason);
    std::string raw;
    for (std::size_t f = 0; f < record.raw_fields.size(); ++f) {
      if (f > 0) raw += d;
      raw += record.raw_fields[f];
    }
    check(read[2] == raw);
  }
  return 0;
}
