#include "mendle.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

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
  EXPECT_EQ(o.total_rows, o.mendled_rows + o.quarantined_rows);
  EXPECT_LE(o.repaired_rows, o.mendled_rows);
  EXPECT_EQ(o.mendled_rows, o.rows.size());
  EXPECT_EQ(o.quarantined_rows, o.quarantine.size());
  if (o.inferred_columns > 0) {
    for (std::size_t r = 0; r < o.rows.size(); ++r) EXPECT_EQ(o.rows.row(r).size(), o.inferred_columns);
  }
}

TEST(mendle_slice, empty_input_ignores_the_options) {
  RepairOptions options;
  options.delimiter = ';';
  options.expected_columns = 7;
  const SliceOutcome o = mendle_slice("", options);
  EXPECT_EQ(o.total_rows, 0u);
  EXPECT_EQ(o.inferred_columns, 0u);
  EXPECT_EQ(o.detected_delimiter, U',');
  EXPECT_TRUE(o.rows.empty());
}

TEST(mendle_slice, a_bom_only_input_runs_the_heuristics_but_yields_no_row) {
  RepairOptions options;
  options.delimiter = ';';
  const SliceOutcome o = mendle_slice("\xEF\xBB\xBF", options);
  EXPECT_EQ(o.total_rows, 0u);
  EXPECT_EQ(o.detected_delimiter, U';');
  EXPECT_EQ(o.inferred_columns, 0u);
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
    EXPECT_EQ(o.repaired_rows, c.repaired);
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
  EXPECT_EQ(o.detected_delimiter, U'\u00C2');
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
  EXPECT_EQ(o.detected_delimiter, U';');
  EXPECT_EQ(o.inferred_columns, 1u);
  EXPECT_EQ(o.repaired_rows, 0u);

  o = mendle_slice("\xEF\xBB\xBFq;r\ns;t;u\nv;w\n", RepairOptions{});
  EXPECT_EQ(o.detected_delimiter, U';');
  EXPECT_EQ(o.inferred_columns, 2u);
  EXPECT_EQ(delivered(o), (std::vector<Fields>{{"q", "r"}, {"s", "t;u"}, {"v", "w"}}));
}

}  // namespace
}  // namespace csv_mendle
