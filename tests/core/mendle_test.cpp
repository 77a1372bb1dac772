#include "mendle.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "plain_row.hpp"

namespace csv_mendle {
namespace {

using Fields = std::vector<std::string>;

std::vector<Fields> delivered(const SliceOutcome& outcome) {
  std::vector<Fields> out;
  for (std::size_t r = 0; r < outcome.rows.size(); ++r) {
    Fields fields;
    const RowView row = outcome.rows.row(r);
    for (std::size_t i = 0; i < row.size(); ++i) fields.emplace_back(row.field(i));
    out.push_back(fields);
  }
  return out;
}

RepairOptions with_width(std::uint64_t width) {
  RepairOptions options;
  options.delimiter = ',';
  options.expected_columns = width;
  return options;
}

void expect_counts_add_up(const SliceOutcome& o) {
  EXPECT_EQ(o.report.total_rows, o.report.mendled_rows + o.report.quarantined_rows);
  EXPECT_LE(o.report.repaired_rows, o.report.mendled_rows);
  EXPECT_EQ(o.report.mendled_rows, o.rows.size());
  EXPECT_EQ(o.report.quarantined_rows, o.quarantine.size());
  if (o.report.inferred_columns > 0) {
    for (std::size_t r = 0; r < o.rows.size(); ++r) EXPECT_EQ(o.rows.row(r).size(), o.report.inferred_columns);
  }
}

TEST(mendle_slice, empty_input_ignores_the_options) {
  RepairOptions options;
  options.delimiter = ';';
  options.expected_columns = 7;
  const SliceOutcome o = mendle_slice("", options);
  EXPECT_EQ(o.report.total_rows, 0u);
  EXPECT_EQ(o.report.inferred_columns, 0u);
  EXPECT_EQ(o.report.detected_delimiter, U',');
  EXPECT_TRUE(o.rows.empty());
}

TEST(mendle_slice, a_bom_only_input_runs_the_heuristics_but_yields_no_row) {
  RepairOptions options;
  options.delimiter = ';';
  const SliceOutcome o = mendle_slice("\xEF\xBB\xBF", options);
  EXPECT_EQ(o.report.total_rows, 0u);
  EXPECT_EQ(o.report.detected_delimiter, U';');
  EXPECT_EQ(o.report.inferred_columns, 0u);
}

// Each kind of change is counted once per row it touched, at the line the
// row starts on, on whichever road the row took.
TEST(mendle_slice, the_change_account_names_each_kind_and_its_first_line) {
  const std::string input =
      "\xEF\xBB\xBF" "h1,h2,h3\n"  // 1
      "a,b\n"                      // 2: padded
      "\n"                         // 3: a blank line, padded
      "a,b,c,d\n"                  // 4: merged
      "\"say \"hi\" now\",b,c\n"     // 5: a stray quote kept as text
      "\"x\"y,b,c\n"                // 6: text behind a closing quote
      "a\xFF,b\xC3(,c\n"            // 7: two ill-formed sequences
      "\"p\nq\",b,c\n"               // 8-9: a line break inside quotes
      "a,b\n"                      // 10: padded
      "x,\"open\nto\r\nthe end";       // 11: a quote that never closes, 2 line breaks
  RepairOptions options = with_width(3);
  const ChangeAccount changes = mendle_slice(input, options).report.changes;
  EXPECT_TRUE(changes.bom_removed);
  EXPECT_EQ(changes.padded, (ChangeCount{4, 2}));  // rows 2, 3, 10 and the unclosed one
  EXPECT_EQ(changes.blank_lines, (ChangeCount{1, 3}));
  EXPECT_EQ(changes.merged, (ChangeCount{1, 4}));
  EXPECT_EQ(changes.quotes_repaired, (ChangeCount{2, 5}));
  EXPECT_EQ(changes.invalid_utf8, (ChangeCount{1, 7}));
  EXPECT_EQ(changes.invalid_sequences, 2u);
  EXPECT_EQ(changes.unclosed_quote, (ChangeCount{1, 11}));
  EXPECT_EQ(changes.absorbed_lines, 2u);
  EXPECT_EQ(changes.quarantined_short.rows + changes.quarantined_long.rows, 0u);

  options.fill_ragged_rows = false;
  options.merge_overflow = false;
  const ChangeAccount strict = mendle_slice(input, options).report.changes;
  EXPECT_EQ(strict.quarantined_short, (ChangeCount{4, 2}));
  EXPECT_EQ(strict.quarantined_long, (ChangeCount{1, 4}));
  EXPECT_EQ(strict.blank_lines.rows + strict.padded.rows + strict.merged.rows, 0u);
}

// The heuristics read the rows with the repair's own quote: quoted
// delimiters neither widen the rows nor win the sniffing.
TEST(mendle_slice, the_delimiter_and_width_are_found_with_the_quote_given) {
  RepairOptions options;
  options.quote_char = '\'';
  const SliceOutcome o = mendle_slice("a,b,c\n1,'x, y',2\n3,'p, q',4\n", options);
  EXPECT_EQ(o.report.inferred_columns, 3u);
  EXPECT_EQ(o.report.repaired_rows, 0u);
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"a", "b", "c"}, {"1", "x, y", "2"}, {"3", "p, q", "4"}}));
  EXPECT_EQ(mendle_slice("'a,b,c';x\n'd,e,f';y\n", options).report.detected_delimiter, U';');
}

// The heuristics read the rows with the repair's field rules: blanks
// before a quote and escaped delimiters neither widen the rows nor win the
// sniffing.
TEST(mendle_slice, the_delimiter_and_width_are_found_with_the_field_rules) {
  RepairOptions options;
  options.skip_initial_space = true;
  options.escape = '\\';
  const SliceOutcome spaced = mendle_slice("a, \"b, c\", d\n1, \"2, 3\", 4\n", options);
  EXPECT_EQ(spaced.report.detected_delimiter, U',');
  EXPECT_EQ(spaced.report.inferred_columns, 3u);
  EXPECT_EQ(delivered(spaced), (std::vector<Fields>{{"a", "b, c", "d"}, {"1", "2, 3", "4"}}));
  const SliceOutcome escaped = mendle_slice("a\\,b\\,c\\,d;e\nf\\,g\\,h\\,i;j\n", options);
  EXPECT_EQ(escaped.report.detected_delimiter, U';');
  EXPECT_EQ(delivered(escaped), (std::vector<Fields>{{"a,b,c,d", "e"}, {"f,g,h,i", "j"}}));
}

// Lines before the table and comment lines are no rows: they are dropped,
// counted, and kept out of the heuristics, and the lines after them keep
// their numbers.
TEST(mendle_slice, lines_before_the_table_and_comment_lines_are_dropped_and_counted) {
  RepairOptions options;
  options.skip_rows = 2;
  options.comment = '#';
  options.fill_ragged_rows = false;
  const SliceOutcome o = mendle_slice(
      "Export of 2026-12-08\nsep=;\n# the table\na;b\n1;2\n# more\n3\n4;\"#5\n\"\n", options);
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"a", "b"}, {"1", "2"}, {"4", "#5\n"}}));
  EXPECT_EQ(o.report.detected_delimiter, U';');
  EXPECT_EQ(o.report.inferred_columns, 2u);
  EXPECT_EQ(o.report.changes.skipped_lines, (ChangeCount{2, 1}));
  EXPECT_EQ(o.report.changes.comment_lines, (ChangeCount{2, 3}));
  ASSERT_EQ(o.quarantine.size(), 1u);
  EXPECT_EQ(o.quarantine[0].line, 8u);  // the row "3" stands on line 7
  EXPECT_EQ(o.report.changes.quarantined_short, (ChangeCount{1, 7}));
}

RepairOptions with_header() {
  RepairOptions options;
  options.header = true;
  return options;
}

// The header sets the width (unless one is given), is never judged, and
// counts as a delivered row; the delimiter is still sniffed with it in the
// sample, though its width differs from the rows'.
TEST(mendle_slice, a_header_sets_the_width_and_is_delivered_as_it_is) {
  RepairOptions options = with_header();
  SliceOutcome o = mendle_slice("a,b,c,d,e\n1,2,3\n4,5,6\n7,8,9\n", options);
  EXPECT_EQ(o.header, (Fields{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"1", "2", "3", "", ""}, {"4", "5", "6", "", ""},
                                               {"7", "8", "9", "", ""}}));
  EXPECT_EQ(o.report.detected_delimiter, U',');
  EXPECT_EQ(o.report.inferred_columns, 5u);
  EXPECT_EQ(o.report.total_rows, 4u);
  EXPECT_EQ(o.report.mendled_rows, 4u);  // the header among them
  EXPECT_EQ(o.report.repaired_rows, 3u);
  EXPECT_EQ(mendle_slice("h1;h2;h3;h4;h5\na;b\n", options).report.detected_delimiter, U';');

  // Narrower than the rows: they are merged to its width; with merging off,
  // set aside, while the header, of whatever width, never is.
  o = mendle_slice("a,b\n1,2,3\n", options);
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"1", "2,3"}}));
  options.merge_overflow = false;
  options.fill_ragged_rows = false;
  options.expected_columns = 2;
  o = mendle_slice("a\n1,2,3\n4,5\n", options);
  EXPECT_EQ(o.header, (Fields{"a"}));
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"4", "5"}}));
  EXPECT_EQ(o.report.quarantined_rows, 1u);
  EXPECT_EQ(o.report.total_rows, 3u);

  // A given width rules; 0 keeps every row as it is.
  options = with_header();
  options.expected_columns = 3;
  o = mendle_slice("a,b,c,d,e\n1,2\n", options);
  EXPECT_EQ(o.header, (Fields{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"1", "2", ""}}));
  options.expected_columns = 0;
  o = mendle_slice("a,b,c\n1,2\n3,4,5,6\n", options);
  EXPECT_EQ(o.header, (Fields{"a", "b", "c"}));
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"1", "2"}, {"3", "4", "5", "6"}}));

  // A table without a row has no header.
  for (const char* input : {"", "\n \n", "#only\n"}) {
    options = with_header();
    options.comment = '#';
    o = mendle_slice(input, options);
    EXPECT_FALSE(o.header) << input;
    EXPECT_EQ(o.report.total_rows, 0u);
    EXPECT_EQ(o.report.inferred_columns, 0u);
  }
}

// The header is the first row past the lines before the table, the comment
// lines and any blank lines, which are dropped and counted as such.
TEST(mendle_slice, the_header_follows_the_lines_before_the_table) {
  RepairOptions options = with_header();
  options.skip_rows = 1;
  options.comment = '#';
  const SliceOutcome o = mendle_slice("Export\n# note\n\n  \nx;y;z\n1;2;3\n4;5\n", options);
  EXPECT_EQ(o.header, (Fields{"x", "y", "z"}));
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"1", "2", "3"}, {"4", "5", ""}}));
  EXPECT_EQ(o.report.detected_delimiter, U';');
  EXPECT_EQ(o.report.changes.skipped_lines, (ChangeCount{3, 1}));
  EXPECT_EQ(o.report.changes.comment_lines, (ChangeCount{1, 2}));
  EXPECT_EQ(o.report.changes.padded, (ChangeCount{1, 7}));
  EXPECT_EQ(o.report.total_rows, 3u);
}

// The quote sniffed is reported and applied, to the width as to the rows.
TEST(mendle_slice, a_sniffed_quote_reads_the_rows_and_is_reported) {
  RepairOptions options;
  options.sniff_quote = true;
  SliceOutcome o = mendle_slice("id,name,note\n1,'Smith, J',x\n2,'Doe, A',y\n", options);
  EXPECT_EQ(o.report.detected_quote, U'\'');
  EXPECT_EQ(o.report.inferred_columns, 3u);
  EXPECT_EQ(delivered(o)[1], (Fields{"1", "Smith, J", "x"}));
  o = mendle_slice("id,name\n1,\"Smith, J\"\n2,it's\n", options);
  EXPECT_EQ(o.report.detected_quote, U'"');
  EXPECT_EQ(delivered(o)[1], (Fields{"1", "Smith, J"}));
  // Not sniffed, the quote given is reported.
  options = RepairOptions{};
  options.quote_char = '|';
  EXPECT_EQ(mendle_slice("a,b\n", options).report.detected_quote, U'|');
}

TEST(mendle_slice, rows_are_padded_merged_or_quarantined_by_the_options) {
  struct Case {
    const char* input;
    std::uint64_t width;
    bool fill, merge;
    std::vector<Fields> rows;
    std::vector<std::string> reasons;
    std::uint64_t repaired;
  };
  const std::vector<Case> cases = {
      {"a\n", 3, true, true, {{"a", "", ""}}, {}, 1},
      {"a\n", 3, false, true, {}, {"Row has too few columns (expected 3)"}, 0},
      {"a,b,c,d,e\n", 3, true, true, {{"a", "b", "c,d,e"}}, {}, 1},
      {"a,b,c,d,e\n", 3, true, false, {}, {"Row has extra columns (expected 3)"}, 0},
      {"a,b\n", 1, true, true, {{"a,b"}}, {}, 1},
      {"x,y\n\np,q\n", 2, true, true, {{"x", "y"}, {"", ""}, {"p", "q"}}, {}, 1},
      {"a,b,c\nd\n", 0, false, false, {{"a", "b", "c"}, {"d"}}, {}, 0},
      {"12345678901,2\n", 12345678901, false, true, {},
       {"Row has too few columns (expected 12345678901)"}, 0},
  };
  for (const Case& c : cases) {
    RepairOptions options = with_width(c.width);
    options.fill_ragged_rows = c.fill;
    options.merge_overflow = c.merge;
    const SliceOutcome o = mendle_slice(c.input, options);
    SCOPED_TRACE(c.input);
    EXPECT_EQ(delivered(o), c.rows);
    std::vector<std::string> reasons;
    for (const auto& q : o.quarantine) reasons.push_back(q.reason);
    EXPECT_EQ(reasons, c.reasons);
    EXPECT_EQ(o.report.repaired_rows, c.repaired);
    expect_counts_add_up(o);
  }
}

TEST(mendle_slice, an_absurd_column_count_fails_as_bad_alloc_only_when_rows_are_padded) {
  for (const std::uint64_t width : {std::uint64_t{1'000'000'000'000}, UINT64_MAX}) {
    EXPECT_THROW((void)mendle_slice("a,b\nc\n", with_width(width)), std::bad_alloc) << width;
    RepairOptions strict = with_width(width);
    strict.fill_ragged_rows = false;
    const SliceOutcome o = mendle_slice("a,b\nc\n", strict);
    ASSERT_EQ(o.quarantine.size(), 2u);
    EXPECT_EQ(o.quarantine[1].reason,
              "Row has too few columns (expected " + std::to_string(width) + ")");
  }
}

TEST(mendle_slice, merging_does_not_restore_quoting) {
  RepairOptions options = with_width(2);
  options.quote_char = '\'';
  EXPECT_EQ(delivered(mendle_slice("a,b,'c,d'\n", options)), (std::vector<Fields>{{"a", "b,c,d"}}));
}

TEST(mendle_slice, a_delimiter_byte_above_ascii_merges_as_its_character) {
  RepairOptions options;
  options.delimiter = 0xC2;
  options.expected_columns = 2;
  // 61 C2 A7 62: the delimiter splits off "a"; the lone A7 decodes to U+FFFD.
  SliceOutcome o = mendle_slice("a\xC2\xA7" "b\n", options);
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"a", "\xEF\xBF\xBD" "b"}}));
  EXPECT_EQ(o.report.detected_delimiter, U'\u00C2');
  o = mendle_slice("a\xC2" "b\xC2" "c\n", options);
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"a", "b\xC3\x82" "c"}}));
}

TEST(mendle_slice, quarantined_rows_keep_their_fields_and_the_line_after_them) {
  struct Case {
    const char* input;
    Fields raw;
    std::uint64_t line;
  };
  const std::vector<Case> cases = {
      {"h1,h2\na\nb,c\n", {"a"}, 3},
      {"h1,h2\nb,c\na", {"a"}, 3},                        // no final line break
      {"h1,h2\nb,c\nd,e\n\"x\ny\"\n", {"x\ny"}, 6},       // line 4, one LF inside quotes
      {"h1,h2\r\nb,c\r\na\r\n", {"a"}, 4},
  };
  for (const Case& c : cases) {
    RepairOptions options = with_width(2);
    options.fill_ragged_rows = false;
    const SliceOutcome o = mendle_slice(c.input, options);
    SCOPED_TRACE(c.input);
    ASSERT_EQ(o.quarantine.size(), 1u);
    EXPECT_EQ(o.quarantine[0].raw_fields, c.raw);
    EXPECT_EQ(o.quarantine[0].line, c.line);
    expect_counts_add_up(o);
  }
}

TEST(mendle_slice, given_options_bypass_the_heuristics_and_absent_ones_use_them) {
  // Sniffing would pick ',' and inference 3; the given values win.
  RepairOptions given;
  given.delimiter = ';';
  given.expected_columns = 1;
  SliceOutcome o = mendle_slice("a,b,c\nd,e,f\n", given);
  EXPECT_EQ(o.report.detected_delimiter, U';');
  EXPECT_EQ(o.report.inferred_columns, 1u);
  EXPECT_EQ(o.report.repaired_rows, 0u);

  o = mendle_slice("\xEF\xBB\xBFq;r\ns;t;u\nv;w\n", RepairOptions{});
  EXPECT_EQ(o.report.detected_delimiter, U';');
  EXPECT_EQ(o.report.inferred_columns, 2u);
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"q", "r"}, {"s", "t;u"}, {"v", "w"}}));
}

// ---- the reader's repair: plain rows left in the input ----

ByteBuffer buffer_of(std::string_view bytes) {
  ByteBuffer buffer(bytes.size());
  if (!bytes.empty()) std::memcpy(buffer.data(), bytes.data(), bytes.size());
  buffer.set_size(bytes.size());
  return buffer;
}

std::vector<Fields> delivered(const IndexedRows& rows) {
  std::vector<Fields> out;
  for (std::size_t r = 0; r < rows.index.size(); ++r) {
    Fields fields;
    const IndexedRow row = indexed_row(rows, r);
    if (row.plain) {
      visit_plain_row(rows.input.view(), row.start, rows.delimiter, rows.quote,
                      [&](std::string_view field, bool) {
                        fields.emplace_back(field);
                        return true;
                      });
    } else {
      for (std::size_t i = 0; i < row.fields.size(); ++i) fields.emplace_back(row.fields.field(i));
    }
    out.push_back(fields);
  }
  return out;
}

std::size_t plain_rows(const IndexedRows& rows) {
  std::size_t plain = 0;
  for (std::size_t r = 0; r < rows.index.size(); ++r) plain += rows.index.is_plain(r) ? 1 : 0;
  return plain;
}

// Both repairs of the same bytes deliver the same rows with the same counts.
void expect_same_as_slice(std::string_view input, const RepairOptions& options) {
  SCOPED_TRACE(testing::PrintToString(std::string(input)));
  const SliceOutcome slice = mendle_slice(input, options);
  const IndexOutcome indexed = mendle_indexed(buffer_of(input), options);
  EXPECT_EQ(indexed.header, slice.header);
  EXPECT_EQ(delivered(indexed.rows), delivered(slice));
  // The counts, the dialect and the change account alike.
  EXPECT_EQ(indexed.report, slice.report);
  EXPECT_EQ(indexed.rows.table.size() + plain_rows(indexed.rows), indexed.rows.index.size());
  // The input stays exactly while a row refers to it.
  EXPECT_EQ(indexed.rows.input.size() != 0, plain_rows(indexed.rows) != 0);
}

TEST(mendle_indexed, delivers_what_mendle_slice_delivers) {
  const std::vector<std::string> inputs = {
      "",
      "\xEF\xBB\xBF",
      "a,b,c\nd,e\nf,g,h,i\n\"j,k\",l,m\n",
      "a,b\n\"c,d\",e",                    // no final line break
      "\xEF\xBB\xBF" "a,b\nc,d\n",          // a byte-order mark
      "a,b\r\nc,d\r\ne\r\n",                // CR LF: no row is plain
      "a,b\nc,d\r\ne,f\n",                  // plain rows around one that is not
      "h1,h2\n\"say \"hi\" there\",x\n\"a,\nb\",c\n\"q\" ,r\n",
      "caf\xC3\xA9,\xE2\x82\xAC\n\xFF,x\n",   // non-ASCII, and bytes that are no UTF-8
      "a\tb\tc\nd\t\"e\tf\"\tg\n",
      "x\n\n\ny\n",
      ",\n,,\n,\n",
  };
  for (const std::string& input : inputs) {
    for (const bool fill : {true, false}) {
      for (const bool merge : {true, false}) {
        RepairOptions options;
        options.fill_ragged_rows = fill;
        options.merge_overflow = merge;
        expect_same_as_slice(input, options);
        options.expected_columns = 0;  // no width check: every row passes
        expect_same_as_slice(input, options);
        options.expected_columns = 2;
        options.quote_char = '\'';
        expect_same_as_slice(input, options);
      }
    }
  }
  // Plain rows after a long run of rows that are not, and the other way.
  std::string runs;
  for (int i = 0; i < 600; ++i) runs += "c,r\r\n";
  for (int i = 0; i < 600; ++i) runs += i % 7 == 0 ? "\"p,q\",r,s\n" : "p,\"q,r\"\n";
  for (int i = 0; i < 600; ++i) runs += "c,r\r\n";
  expect_same_as_slice(runs, RepairOptions{});
  RepairOptions high_delimiter;
  high_delimiter.delimiter = 0xC2;
  expect_same_as_slice("a\xC2\xA7" "b\nc\xC2" "d\n", high_delimiter);
}

TEST(mendle_indexed, agrees_with_mendle_slice_on_random_inputs) {
  const unsigned char alphabet[] = {'a', 'b', ',', ',', ';', '"', '\'', ' ', '\r', '\n', '\n', 0xC3, 0xA9};
  std::mt19937 rng(20250119);
  const auto pick = [&](std::size_t size) {
    return std::uniform_int_distribution<std::size_t>(0, size - 1)(rng);
  };
  for (int iteration = 0; iteration < 3000; ++iteration) {
    std::string input(pick(120), '\0');
    for (char& ch : input) ch = static_cast<char>(alphabet[pick(sizeof alphabet)]);
    RepairOptions options;
    if (pick(2) == 0) options.delimiter = pick(2) == 0 ? ',' : ';';
    if (pick(3) == 0) options.quote_char = '\'';
    if (pick(2) == 0) options.expected_columns = pick(5);
    options.fill_ragged_rows = pick(3) != 0;
    options.merge_overflow = pick(3) != 0;
    options.repair_quotes = pick(4) != 0;
    options.header = pick(3) == 0;
    options.sniff_quote = pick(4) == 0;
    expect_same_as_slice(input, options);
  }
}

TEST(mendle_indexed, plain_rows_stay_in_the_input_and_the_others_are_copied) {
  IndexOutcome o = mendle_indexed(buffer_of("a,b\nc\n\"d,e\",f\ng,h\r\n"), with_width(2));
  ASSERT_EQ(o.rows.index.size(), 4u);
  EXPECT_TRUE(o.rows.index.is_plain(0));
  EXPECT_EQ(o.rows.index.where(0), 0u);
  EXPECT_FALSE(o.rows.index.is_plain(1));  // padded
  EXPECT_TRUE(o.rows.index.is_plain(2));
  EXPECT_EQ(o.rows.index.where(2), 6u);
  EXPECT_FALSE(o.rows.index.is_plain(3));  // its CR is no part of a plain row
  EXPECT_EQ(o.rows.table.size(), 2u);
  EXPECT_EQ(delivered(o.rows), (std::vector<Fields>{{"a", "b"}, {"c", ""}, {"d,e", "f"}, {"g", "h"}}));

  // Without a plain row neither the input nor the entries are kept: row i
  // is the table's row i.
  o = mendle_indexed(buffer_of("a,b\r\nc,d\r\n"), with_width(2));
  EXPECT_EQ(o.rows.input.capacity(), 0u);
  EXPECT_EQ(o.rows.index.memory_bytes(), 0u);
  EXPECT_EQ(o.rows.index.size(), 2u);
  EXPECT_EQ(delivered(o.rows), (std::vector<Fields>{{"a", "b"}, {"c", "d"}}));
}

TEST(mendle_indexed, many_rows_leave_little_spare_room) {
  // Enough rows that the index and the table are reserved from a sample of
  // the first ones, with every tenth row padded into the table.
  std::string input;
  for (int i = 0; i < 50000; ++i) input += i % 10 == 0 ? "short\n" : "a,\"b,c\",d\n";
  const IndexOutcome o = mendle_indexed(buffer_of(input), with_width(3));
  ASSERT_EQ(o.rows.index.size(), 50000u);
  EXPECT_EQ(o.rows.table.size(), 5000u);
  EXPECT_LE(o.rows.index.memory_bytes(), o.rows.index.size() * 8 * 17 / 16);
  // The table holds the copied rows only: far less than the input.
  EXPECT_LT(o.rows.table.memory_bytes(), input.size() / 2);
  const std::vector<Fields> rows = delivered(o.rows);
  EXPECT_EQ(rows[0], (Fields{"short", "", ""}));
  EXPECT_EQ(rows[49999], (Fields{"a", "b,c", "d"}));
}

TEST(mendle_indexed, an_absurd_column_count_fails_as_bad_alloc) {
  EXPECT_THROW((void)mendle_indexed(buffer_of("a,b\nc\n"), with_width(UINT64_MAX)), std::bad_alloc);
}

}  // namespace
}  // namespace csv_mendle
