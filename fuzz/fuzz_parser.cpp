// Fuzzes the tolerant row parser: any bytes, any delimiter and quote, with and
// without quote repair, skipped initial blanks and an escape, must parse to
// the end without a fault, every row must keep the parser's promises, and
// rows, line numbers and positions must be those of a literal byte-by-byte
// transcription of the algorithm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "csv_writer.hpp"
#include "fuzz_case.hpp"
#include "parser.hpp"
#include "reference_parser.hpp"
#include "row_table.hpp"
#include "utf8.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Every row of `data` as the reference reads it, and the parser's promises.
void check_parse(std::string_view data, unsigned char delimiter, unsigned char quote,
                 bool repair_quotes, const csv_mendle::FieldRules& rules) {
  csv_mendle::ResilientParser parser =
      csv_mendle::make_parser(data, delimiter, quote, repair_quotes, rules);
  csv_mendle::reference::ReferenceParser reference(data, parser.position, delimiter, quote,
                                                   repair_quotes, rules.skip_initial_space,
                                                   rules.escape);
  csv_mendle::RowTable table;
  const csv_mendle::OutputDialect dialect(delimiter, quote);
  std::uint64_t position = parser.position;
  std::uint64_t line = parser.line;
  while (csv_mendle::next_row(parser, table)) {
    const auto expected = reference.next_row();
    check(expected.has_value() && expected->size() == table.open_field_count());
    for (std::size_t i = 0; i < expected->size(); ++i) {
      std::string decoded;
      csv_mendle::append_lossy_utf8(decoded, (*expected)[i]);
      check(table.open_field(i) == decoded);
    }
    check(parser.line == reference.line() && parser.position == reference.position());

    check(parser.position > position);  // every row consumes input
    check(parser.position <= data.size());
    check(parser.line >= line);
    position = parser.position;
    line = parser.line;

    check(table.open_field_count() >= 1);
    for (std::size_t i = 0; i < table.open_field_count(); ++i) {
      check(csv_mendle::is_valid_utf8(table.open_field(i)));
    }
    // A row the writer copies writes back as its bytes; one with kept
    // quotes, as its bytes with those quotes doubled.
    const csv_mendle::RowCopy copy = csv_mendle::row_copy(parser.row, dialect);
    if (copy != csv_mendle::RowCopy::Rewrite) {
      std::string written;
      csv_mendle::append_output_line(written, table.open_view(), dialect);
      std::string expected_line(parser.row.bytes);
      const unsigned doubled = copy == csv_mendle::RowCopy::Bytes ? 0 : parser.row.kept_quotes;
      for (unsigned i = doubled; i-- > 0;) {
        const std::size_t at = parser.row.kept_quote_at[i];
        check(at < expected_line.size() && expected_line[at] == static_cast<char>(quote));
        expected_line.insert(at, 1, static_cast<char>(quote));
      }
      check(written == expected_line + "\n");
    }
    table.clear();  // keep memory bounded on long inputs
  }
  check(parser.position == data.size());
  check(!reference.next_row().has_value() && parser.line == reference.line());
  check(!csv_mendle::next_row(parser, table));  // the end marker repeats
  check(parser.position == data.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  // First byte: delimiter, second: quote, third: bit 0 switches quote
  // repair, bit 1 skip_initial_space, bit 2 an escape chosen by bits 3-6.
  // Missing bytes take the usual values.  Every input is parsed without the
  // field rules too, as the corpus inputs found before them were.
  const unsigned char delimiter = size > 0 ? bytes[0] : ',';
  const unsigned char quote = size > 1 ? bytes[1] : '"';
  const unsigned char switches = size > 2 ? bytes[2] : 1;
  const std::size_t skip = size < 3 ? size : 3;

  // A private copy of exactly the data's size, so that any read past its end
  // is caught by AddressSanitizer.
  const std::size_t length = size - skip;
  std::unique_ptr<char[]> copy(new char[length == 0 ? 1 : length]);
  if (length != 0) std::memcpy(copy.get(), bytes + skip, length);
  const std::string_view data(copy.get(), length);

  const bool repair_quotes = (switches & 1) != 0;
  check_parse(data, delimiter, quote, repair_quotes, {});
  csv_mendle::FieldRules rules;
  rules.skip_initial_space = (switches & 2) != 0;
  if (switches & 4) {
    rules.escape = csv_mendle::fuzzing::pick_escape(switches >> 3, delimiter, quote);
  }
  if (rules.skip_initial_space || rules.escape) {
    check_parse(data, delimiter, quote, repair_quotes, rules);
  }
  return 0;
}
