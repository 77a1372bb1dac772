#include "parser.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "csv_writer.hpp"
#include "reference_parser.hpp"
#include "row_table.hpp"
#include "simd_masks.hpp"
#include "utf8.hpp"

namespace csv_mendle {
namespace {

using Fields = std::vector<std::string>;
using Rows = std::vector<Fields>;

struct Parsed {
  Rows rows;
  std::vector<std::uint64_t> lines;      // `line` after each row
  std::vector<std::uint64_t> positions;  // `position` after each row
  std::uint64_t final_line = 0;
};

ResilientParser parser_at(std::string_view data, std::uint64_t position, unsigned char delimiter,
                          unsigned char quote, bool repair_quotes, const FieldRules& rules) {
  ResilientParser parser = make_parser(data, delimiter, quote, repair_quotes, rules);
  parser.position = position;
  return parser;
}

Parsed parse_all(std::string_view data, unsigned char delimiter, unsigned char quote,
                 bool repair_quotes, const FieldRules& rules = {}) {
  ResilientParser parser = parser_at(data, 0, delimiter, quote, repair_quotes, rules);
  Parsed out;
  for (Fields row = next_row_fields(parser); !row.empty(); row = next_row_fields(parser)) {
    out.rows.push_back(std::move(row));
    out.lines.push_back(parser.line);
    out.positions.push_back(parser.position);
  }
  out.final_line = parser.line;
  return out;
}

// What the reference parser makes of `data`, its fields decoded as the
// parser decodes them.
Parsed reference_parse(std::string_view data, unsigned char delimiter, unsigned char quote,
                       bool repair_quotes, const FieldRules& rules = {}) {
  reference::ReferenceParser ref(data, 0, delimiter, quote, repair_quotes,
                                 rules.skip_initial_space, rules.escape);
  Parsed out;
  while (auto row = ref.next_row()) {
    Fields fields;
    for (const std::string& raw : *row) append_lossy_utf8(fields.emplace_back(), raw);
    out.rows.push_back(std::move(fields));
    out.lines.push_back(ref.line());
    out.positions.push_back(ref.position());
  }
  out.final_line = ref.line();
  return out;
}

// ---------------------------------------------------------------------------

struct Case {
  const char* name;
  std::string input;
  Rows rows;
  std::vector<std::uint64_t> lines;  // `line` after each row; empty: not checked
  unsigned char delimiter = ',';
  unsigned char quote = '\'';
  bool repair_quotes = true;
  FieldRules rules = {};
};

void check_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Parsed got = parse_all(c.input, c.delimiter, c.quote, c.repair_quotes, c.rules);
    EXPECT_EQ(got.rows, c.rows);
    if (!c.lines.empty()) {
      EXPECT_EQ(got.lines, c.lines);
    }
    EXPECT_EQ(got.positions.empty() ? 0 : got.positions.back(), c.input.size());
  }
}

TEST(parser, rows_fields_and_line_numbers_of_plain_data) {
  check_cases({
      {"empty input has no row", "", {}, {}},
      {"two lines", "a,b\nc,d\n", {{"a", "b"}, {"c", "d"}}, {2, 3}},
      {"no final line break", "a,b", {{"a", "b"}}, {1}},
      {"lone line break is one empty field", "\n", {{""}}, {2}},
      {"empty line between rows", "a\n\nb\n", {{"a"}, {""}, {"b"}}, {2, 3, 4}},
      {"trailing delimiter before line end", "a,\n", {{"a", ""}}, {2}},
      {"lone delimiter", ",\n", {{"", ""}}, {2}},
      {"trailing delimiter at end of input", "a,", {{"a", ""}}, {1}},
      {"blanks in unquoted fields stay", "a ,b\n", {{"a ", "b"}}, {}},
      {"space before a quote makes the field unquoted", " 'a',b\n", {{" 'a'", "b"}}, {}},
      {"quotes inside an unquoted field are text", "a'b'c,d\n", {{"a'b'c", "d"}}, {}},
      {"invalid UTF-8 becomes U+FFFD", "\xC3\x28,\xFF\n", {{"\xEF\xBF\xBD(", "\xEF\xBF\xBD"}}, {}},
      {"valid UTF-8 is kept", "\xC3\xA9,\xF0\x9F\x98\x80\n", {{"\xC3\xA9", "\xF0\x9F\x98\x80"}},
       {}},
  });
}

TEST(parser, line_breaks_cr_lf_and_their_combinations) {
  check_cases({
      {"CR LF", "a\r\nb", {{"a"}, {"b"}}, {2, 2}},
      {"lone CR", "a\rb", {{"a"}, {"b"}}, {2, 2}},
      {"lone LF", "a\nb", {{"a"}, {"b"}}, {2, 2}},
      {"CR CR LF is two breaks", "\r\r\n", {{""}, {""}}, {2, 3}},
      {"LF CR is two breaks", "\n\r", {{""}, {""}}, {2, 3}},
      {"CR at end of input", "a,b\r", {{"a", "b"}}, {2}},
      {"LF inside quotes counts, the row end too", "'a\nb',c\n", {{"a\nb", "c"}}, {3}},
      {"CR inside quotes does not count", "'a\rb'\n", {{"a\rb"}}, {2}},
      {"CR LF inside quotes counts once", "'a\r\nb'\r\nc", {{"a\r\nb"}, {"c"}}, {3, 3}},
      {"unclosed quote swallows line breaks", "'abc,def\nghi", {{"abc,def\nghi"}}, {2}},
      {"line break ends a field after its closing quote", "'a'\r\n'b'", {{"a"}, {"b"}}, {2, 2}},
  });
}

TEST(parser, quoted_fields_and_text_after_the_closing_quote) {
  check_cases({
      {"delimiter inside quotes", "'a,b',c\n", {{"a,b", "c"}}, {}},
      {"doubled quote", "'a''b'\n", {{"a'b"}}, {}},
      {"doubled double quote", "\"x\"\"y\"", {{"x\"y"}}, {}, ',', '"'},
      {"blanks after the closing quote are dropped", "'abc'  ,x\n", {{"abc", "x"}}, {}},
      {"text after the closing quote joins", "'abc'def,x\n", {{"abcdef", "x"}}, {}},
      {"blanks between closing quote and text are lost", "'abc' def\n", {{"abcdef"}}, {}},
      {"quote ending the input closes the field", "'abc'", {{"abc"}}, {1}},
      {"opening quote ending the input", "a,'", {{"a", ""}}, {1}},
      {"empty quoted fields", "'','',''\n", {{"", "", ""}}, {}},
      {"doubled quote at the end of the input leaves the field open", "'a''", {{"a'"}}, {}},
      {"semicolon delimiter, commas quoted", "'a,b';'c,d'\n", {{"a,b", "c,d"}}, {}, ';'},
      {"space delimiter splits after a closing quote", "'a' b", {{"a", "b"}}, {}, ' '},
  });
}

TEST(parser, stray_quotes_with_and_without_repair) {
  struct StrayCase {
    const char* name;
    std::string input;
    unsigned char delimiter;
    Rows repaired, unrepaired;
  };
  const std::vector<StrayCase> cases = {
      {"quoted word inside a quoted field", "'He said 'hi' there',x\n", ',',
       {{"He said 'hi' there", "x"}}, {{"He said hi' there'", "x"}}},
      {"later quote before the delimiter", "'a'b',c\n", ',', {{"a'b", "c"}}, {{"ab'", "c"}}},
      {"last quote on the line is followed by the line end", "'a' 'b'\n", ',', {{"a' 'b"}},
       {{"a'b'"}}},
      {"no later quote qualifies", "'a'b\n", ',', {{"ab"}}, {{"ab"}}},
      {"tab delimiter behind a closing quote", "'a'\t'b'\n", '\t', {{"a", "b"}}, {{"a", "b"}}},
      {"tab is a blank under a comma delimiter", "'a'\t'b'\n", ',', {{"a'\t'b"}}, {{"a'b'"}}},
      {"scan stops at the line end", "'a'b\nc'\n", ',', {{"ab"}, {"c'"}}, {{"ab"}, {"c'"}}},
      {"a qualifying quote at the end of the input", "'a'b'", ',', {{"a'b"}}, {{"ab'"}}},
      {"blanks then end of input behind the later quote", "'a'b' \t", ',', {{"a'b"}},
       {{"ab' \t"}}},
      {"quote right after the blanks is judged itself", "'a' ',y\n", ',', {{"a' ", "y"}},
       {{"a'", "y"}}},
      {"a quote followed by text does not qualify", "'a' 'x,y\n", ',', {{"a'x", "y"}},
       {{"a'x", "y"}}},
      {"blanks then a delimiter close the quote", "'a' \t,b\n", ',', {{"a", "b"}}, {{"a", "b"}}},
      {"doubled quotes are judged one by one", "'a'b''c\n", ',', {{"ab''c"}}, {{"ab''c"}}},
      {"a doubled quote later on the line makes the first literal, then reads as one quote",
       "'a'b'',c\n", ',', {{"a'b',c\n"}}, {{"ab''", "c"}}},
  };
  for (const StrayCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse_all(c.input, c.delimiter, '\'', true).rows, c.repaired);
    EXPECT_EQ(parse_all(c.input, c.delimiter, '\'', false).rows, c.unrepaired);
  }
}

TEST(parser, skip_initial_space_drops_blanks_behind_a_delimiter) {
  const FieldRules skip{true, std::nullopt};
  check_cases({
      {"a quote behind blanks opens a quoted field", "a, \"b, c\", d\n", {{"a", "b, c", "d"}},
       {2}, ',', '"', true, skip},
      {"tabs too, and blanks behind the closing quote go as ever", "a,\t \"b\"\t,\t c\n",
       {{"a", "b", "c"}}, {}, ',', '"', true, skip},
      {"blanks at the start of a row stay", "  a, b\n", {{"  a", "b"}}, {}, ',', '"', true, skip},
      {"a field of blanks is empty", "a,  ,b\nc, \t", {{"a", "", "b"}, {"c", ""}}, {2, 2}, ',',
       '"', true, skip},
      {"a tab delimiter is never skipped", "a\t b\t\t c\n", {{"a", "b", "", "c"}}, {}, '\t', '"',
       true, skip},
  });
}

// An escape equal to the delimiter, the quote or a line end is ignored: the
// package refuses such an escape, and the parser must still read something
// sane rather than fault.
TEST(parser, an_escape_makes_the_next_byte_text) {
  const FieldRules backslash{false, '\\'};
  const auto escape = [](unsigned char byte) { return FieldRules{false, byte}; };
  check_cases({
      {"escaped quotes inside quotes", "\"say \\\"hi\\\"\",x\n", {{"say \"hi\"", "x"}}, {2}, ',',
       '"', true, backslash},
      {"an escaped delimiter", "a\\,b,c\n", {{"a,b", "c"}}, {}, ',', '"', true, backslash},
      {"an escaped line break stays in the field and counts", "a\\\nb,c\n", {{"a\nb", "c"}}, {3},
       ',', '"', true, backslash},
      {"an escaped escape", "a\\\\b\n", {{"a\\b"}}, {}, ',', '"', true, backslash},
      {"an escape ending the input is kept", "a,b\\", {{"a", "b\\"}}, {1}, ',', '"', true,
       backslash},
      {"and inside an unclosed quote", "\"a\\", {{"a\\"}}, {}, ',', '"', true, backslash},
      {"an escaped quote opens no field", "\\\"a\",b\n", {{"\"a\"", "b"}}, {}, ',', '"', true,
       backslash},
      {"an escape behind a closing quote", "\"a\"\\,b,c\n", {{"a,b", "c"}}, {}, ',', '"', true,
       backslash},
      {"an escaped quote does not make a stray quote literal", "\"a\"b\\\",c\n", {{"ab\"", "c"}},
       {}, ',', '"', true, backslash},
      {"a non-ASCII escape leaves a lone byte to replace", "\xC3\xA9,b\n", {{"\xEF\xBF\xBD", "b"}},
       {}, ',', '"', true, escape(0xC3)},
      {"an escape equal to the delimiter is ignored", "a,b\n", {{"a", "b"}}, {}, ',', '"', true,
       escape(',')},
      {"an escape equal to the quote is ignored", "\"a\"\"b\",c\n", {{"a\"b", "c"}}, {}, ',', '"',
       true, escape('"')},
      {"an escape equal to LF is ignored", "a\nb\n", {{"a"}, {"b"}}, {2, 3}, ',', '"', true,
       escape('\n')},
      {"a blank escape escapes before blanks are skipped", "a, \"b\"\n", {{"a", "\"b\""}}, {},
       ',', '"', true, FieldRules{true, ' '}},
  });
}

// The writer copies a row's bytes only when they are its written form: a
// row the rules changed is rewritten, one they left alone is still copied.
TEST(parser, rows_the_field_rules_changed_are_not_copied) {
  const FieldRules both{true, '\\'};
  const OutputDialect dialect(',', '"');
  const struct {
    const char* row;
    bool copied;
  } cases[] = {{"a,b\n", true}, {"a, b\n", false}, {"a,\\b\n", false}, {"\"a\\\"\"\n", false},
               {"a,b\\", true}};
  for (const auto& c : cases) {
    // Followed by enough rows for the fast paths, which must decline too.
    std::string followed = c.row;
    if (followed.back() == '\n') followed += std::string(200, 'z') + "\n";
    for (const std::string& data : {std::string(c.row), followed}) {
      ResilientParser parser = make_parser(data, ',', '"', true, both);
      RowTable table;
      ASSERT_TRUE(next_row(parser, table));
      EXPECT_EQ(row_copy(parser.row, dialect) == RowCopy::Bytes, c.copied) << c.row;
      SkimmedRow skimmed;
      EXPECT_FALSE(skim_row(make_parser(data, ',', '"', true, both), skimmed)) << c.row;
    }
  }
}

TEST(parser, end_marker_repeats_and_position_only_moves_forward) {
  const std::string data = "a,b\n'c\nd'\r\n\n";
  ResilientParser parser = make_parser(data, ',', '\'', true);
  RowTable table;
  std::uint64_t last = parser.position;
  int rows = 0;
  while (next_row(parser, table)) {
    EXPECT_GT(parser.position, last);
    last = parser.position;
    table.commit_row();
    ++rows;
  }
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(parser.position, data.size());
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(next_row(parser, table));
    EXPECT_EQ(parser.position, data.size());
    EXPECT_EQ(parser.line, 5u);
  }
  EXPECT_EQ(table.size(), 3u);
}

TEST(parser, fields_are_decoded_in_place_behind_rows_already_in_the_table) {
  // Each row's text lands behind the committed rows of the same table; the
  // lossy decoding must touch only the field it completes.
  const std::string data = "ok,\xC3\n\xE2\x82,good\xC3\xA9,\xED\xA0\x80x\n";
  ResilientParser parser = make_parser(data, ',', '"', true);
  RowTable table;
  while (next_row(parser, table)) table.commit_row();
  ASSERT_EQ(table.size(), 2u);
  const auto fields = [&](std::size_t r) {
    Fields out;
    for (std::size_t i = 0; i < table.row(r).size(); ++i) out.emplace_back(table.row(r).field(i));
    return out;
  };
  EXPECT_EQ(fields(0), (Fields{"ok", "\xEF\xBF\xBD"}));
  EXPECT_EQ(fields(1),
            (Fields{"\xEF\xBF\xBD", "good\xC3\xA9", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"}));
}

TEST(parser, byte_order_mark_offset) {
  const struct {
    std::string data;
    std::uint64_t offset;
  } cases[] = {
      {"", 0},
      {"\xEF\xBB", 0},
      {"\xEF\xBB\xBF", 3},
      {"\xEF\xBB\xBF" "a,b", 3},
      {"\xEF\xBB\xBE" "a", 0},
      {"a\xEF\xBB\xBF", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(bom_offset(c.data), c.offset) << c.data;

  // make_parser skips the mark; a parser built at 0 keeps it as U+FEFF text.
  const std::string data = "\xEF\xBB\xBF" "a,b\n";
  ResilientParser skipping = make_parser(data, ',', '"', true);
  EXPECT_EQ(next_row_fields(skipping), (Fields{"a", "b"}));
  EXPECT_EQ(parse_all(data, ',', '"', true).rows, (Rows{{"\xEF\xBB\xBF" "a", "b"}}));

  ResilientParser only_mark = make_parser("\xEF\xBB\xBF", ',', '"', true);
  EXPECT_TRUE(next_row_fields(only_mark).empty());
  EXPECT_EQ(only_mark.line, 1u);
}

// Lines full of stray quotes: rescanning the rest of the line for every quote
// would take hours on these; the parser must take about linear time.
TEST(parser, long_lines_of_stray_quotes_parse_in_linear_time) {
  constexpr std::size_t repeats = 300000;
  std::string literal_quotes = "\"";
  std::string closing_quotes;
  std::string blank_quotes = " ";
  for (std::size_t i = 0; i < repeats; ++i) {
    literal_quotes += "x\" ";            // each quote literal: the last one ends the line
    closing_quotes += "\"a\" b,";        // each field's quote closes after a full-line scan
    blank_quotes += "\t ";               // quote byte is a space inside a long blank run
  }
  literal_quotes += "\"\n";
  closing_quotes += "\n";
  blank_quotes += "x \n";

  const Parsed literal = parse_all(literal_quotes, ',', '"', true);
  ASSERT_EQ(literal.rows.size(), 1u);
  ASSERT_EQ(literal.rows[0].size(), 1u);
  EXPECT_EQ(literal.rows[0][0].size(), literal_quotes.size() - 3);

  const Parsed closing = parse_all(closing_quotes, ',', '"', true);
  ASSERT_EQ(closing.rows.size(), 1u);
  EXPECT_EQ(closing.rows[0].size(), repeats + 1);
  EXPECT_EQ(closing.rows[0][0], "ab");

  const Parsed blank = parse_all(blank_quotes, ',', ' ', true);
  ASSERT_EQ(blank.rows.size(), 1u);
  EXPECT_EQ(blank.rows[0][0].size(), blank_quotes.size() - 3);
}

// The parser against the reference on random inputs over a small alphabet
// rich in the bytes that matter, with ordinary and odd delimiter and quote
// choices (blanks, line-end bytes, delimiter equal to quote).
TEST(parser, agrees_with_the_reference_on_random_inputs) {
  const unsigned char alphabet[] = {'a', ',', '"',  '\'', ' ',  '\t',
                                    '\r', '\n', ';', 0xC3, 0xA9, '\\'};
  const unsigned char escapes[] = {'\\', '\\', '\\', ',', '"', ' ', '\n', 0xC3};
  const unsigned char delimiters[] = {',', ',', ';', '\t', ' ', '"', '\r', 'a'};
  const unsigned char quotes[] = {'"', '"', '\'', ' ', '\t', ',', '\n'};
  std::mt19937 rng(20240611);
  const auto pick = [&](std::size_t size) {
    return std::uniform_int_distribution<std::size_t>(0, size - 1)(rng);
  };
  for (int iteration = 0; iteration < 20000; ++iteration) {
    std::string data(pick(40), '\0');
    for (char& ch : data) ch = static_cast<char>(alphabet[pick(sizeof alphabet)]);
    const unsigned char delimiter = delimiters[pick(sizeof delimiters)];
    const unsigned char quote = quotes[pick(sizeof quotes)];
    const bool repair = pick(4) != 0;
    FieldRules rules;
    rules.skip_initial_space = pick(4) == 0;
    if (pick(3) == 0) rules.escape = escapes[pick(sizeof escapes)];

    const Parsed expected = reference_parse(data, delimiter, quote, repair, rules);
    const Parsed got = parse_all(data, delimiter, quote, repair, rules);
    ASSERT_EQ(got.rows, expected.rows) << "data=" << testing::PrintToString(data)
                                       << " delimiter=" << int(delimiter) << " quote=" << int(quote)
                                       << " repair=" << repair
                                       << " skip=" << rules.skip_initial_space
                                       << " escape=" << int(rules.escape.value_or(0));
    ASSERT_EQ(got.lines, expected.lines) << testing::PrintToString(data);
    ASSERT_EQ(got.positions, expected.positions) << testing::PrintToString(data);
    ASSERT_EQ(got.final_line, expected.final_line);
  }
}

// Rows of many fields, long enough that the parser takes whole rows at once:
// fields straddle 64-byte block edges, rows run up to and past a kilobyte and
// end close to the end of the input, and between the plain fields sit the
// ones that need judgement (stray and doubled quotes, blanks behind a stray
// or a closing quote, quotes amid unquoted text, line breaks inside quotes, CR LF, lone CR,
// bytes of 0x80 and above, some of them invalid UTF-8).
struct LongRows {
  std::mt19937 rng{77};

  std::size_t pick(std::size_t size) {
    return std::uniform_int_distribution<std::size_t>(0, size - 1)(rng);
  }

  // One row without its line break.
  std::string row(unsigned char delimiter, unsigned char quote, bool odd_bytes) {
    static const char* const letters[] = {"a", "b", "7", " ", "\t", "\xC3\xA9", "\xE2\x82\xAC", "\xFF"};
    const auto word = [&](std::size_t longest) {
      std::string w;
      const std::size_t length = pick(longest + 1);
      for (std::size_t i = 0; i < length; ++i) {
        w += odd_bytes ? letters[pick(std::size(letters))] : letters[pick(3)];
      }
      return w;
    };
    const std::string q(1, static_cast<char>(quote));
    const std::string d(1, static_cast<char>(delimiter));
    std::string data;
    const std::size_t fields = 1 + pick(pick(10) == 0 ? 120 : 14);
    const bool clean = pick(3) != 0;
    for (std::size_t f = 0; f < fields; ++f) {
      if (f > 0) data += d;
      switch (clean ? pick(3) : pick(14)) {
        case 0: data += word(pick(8) == 0 ? 70 : 9); break;
        case 1: data += q + word(6) + d + word(6) + q; break;
        case 2: data += q + word(6) + q; break;
        case 3: data += q + word(3) + q + q + word(3) + q; break;  // doubled
        case 4: data += q + word(3) + q + word(3) + q; break;      // stray
        case 5: data += q + word(3) + q + " \t"; break;            // blanks behind
        case 6: data += word(3) + q + word(3); break;              // quote amid text
        case 7: data += q + word(3) + "\n" + word(3) + q; break;    // LF inside
        case 8: data += q + word(3) + "\r\n" + word(3) + q; break;
        case 9: data += q + word(40); break;                      // never closed
        case 10: data += q + word(3) + q + "x"; break;            // text behind
        case 11: data += q + word(3) + q + " " + word(3) + q; break;  // stray, blank behind
        case 12: data += q + word(3) + q + word(3) + q + q + word(3) + q; break;  // stray, doubled
        default: break;                                           // empty
      }
    }
    return data;
  }

  // Several rows with assorted line breaks, the last one sometimes without.
  std::string input(unsigned char delimiter, unsigned char quote, bool odd_bytes) {
    std::string data;
    const std::size_t rows = 1 + pick(40);
    for (std::size_t r = 0; r < rows; ++r) {
      data += row(delimiter, quote, odd_bytes);
      const std::size_t end = pick(10);
      data += end < 7 ? "\n" : end < 9 ? "\r\n" : "\r";
    }
    if (pick(2) == 0) data.pop_back();
    return data;
  }
};

const unsigned char kLongRowDelimiters[] = {',', ',', ';', '\t', ' '};
const unsigned char kLongRowQuotes[] = {'"', '"', '\''};

// Rows, lines and positions must match the reference, and a row that the
// writer copies from the parser's facts must write back as its own bytes,
// one with kept quotes as its bytes with those quotes doubled.
TEST(parser, whole_row_fast_path_agrees_with_the_reference_on_long_rows) {
  LongRows gen;
  std::size_t verbatim_rows = 0;
  std::size_t doubling_rows = 0;
  for (int round = 0; round < 1000; ++round) {
    const unsigned char delimiter = kLongRowDelimiters[gen.pick(sizeof kLongRowDelimiters)];
    const unsigned char quote = kLongRowQuotes[gen.pick(sizeof kLongRowQuotes)];
    const bool repair = gen.pick(4) != 0;
    const std::string data = gen.input(delimiter, quote, gen.pick(3) == 0);

    const Parsed expected = reference_parse(data, delimiter, quote, repair);
    const Parsed got = parse_all(data, delimiter, quote, repair);
    ASSERT_EQ(got.rows, expected.rows) << testing::PrintToString(data);
    ASSERT_EQ(got.lines, expected.lines) << testing::PrintToString(data);
    ASSERT_EQ(got.positions, expected.positions) << testing::PrintToString(data);

    ResilientParser parser = make_parser(data, delimiter, quote, repair);
    RowTable table;
    const OutputDialect dialect(delimiter, quote);
    while (next_row(parser, table)) {
      std::string line;
      append_output_line(line, table.open_view(), dialect);
      const RowCopy copy = row_copy(parser.row, dialect);
      if (copy == RowCopy::Bytes) {
        ++verbatim_rows;
        ASSERT_EQ(line, std::string(parser.row.bytes) + "\n") << testing::PrintToString(data);
      }
      if (copy == RowCopy::BytesDoublingKeptQuotes) {
        ++doubling_rows;
        std::string doubled(parser.row.bytes);
        for (unsigned i = parser.row.kept_quotes; i-- > 0;) {
          const std::size_t at = parser.row.kept_quote_at[i];
          ASSERT_EQ(doubled[at], static_cast<char>(quote));
          doubled.insert(at, 1, static_cast<char>(quote));
        }
        ASSERT_EQ(line, doubled + "\n") << testing::PrintToString(data);
      }
      table.discard_row();
    }
  }
  EXPECT_GT(verbatim_rows, 1000u);  // the fast path's verbatim rows were exercised
#if defined(CSV_MENDLE_ROW_BLOCKS)
  EXPECT_GT(doubling_rows, 30u);  // and its rows with kept quotes
#else
  static_cast<void>(doubling_rows);  // only the fast path lists kept quotes
#endif
}

// skim_row judges a row by its syntax bits when enough input follows it and
// byte by byte when the row is the input's last: both must agree, and a
// plain row must be what next_row makes of it, with the same facts.
TEST(parser, skim_row_judges_a_row_alike_wherever_it_lies) {
  LongRows gen;
  std::size_t plain_rows = 0;
  for (int round = 0; round < 20000; ++round) {
    const unsigned char delimiter = kLongRowDelimiters[gen.pick(sizeof kLongRowDelimiters)];
    const unsigned char quote = kLongRowQuotes[gen.pick(sizeof kLongRowQuotes)];
    const std::string row = gen.row(delimiter, quote, gen.pick(3) == 0);
    const std::string last = row + "\n";
    const std::string followed = last + std::string(200, 'z') + "\n";

    SkimmedRow alone;
    SkimmedRow amid;
    const bool plain_alone = skim_row(make_parser(last, delimiter, quote, true), alone);
    const ResilientParser parser = make_parser(followed, delimiter, quote, true);
    const bool plain_amid = skim_row(parser, amid);
    ASSERT_EQ(plain_alone, plain_amid) << testing::PrintToString(row);
    if (!plain_amid) continue;
    ++plain_rows;
    ASSERT_EQ(alone.fields, amid.fields) << testing::PrintToString(row);
    ASSERT_EQ(alone.text, amid.text);
    ASSERT_EQ(amid.next, amid.text.size() + 1);
    ASSERT_TRUE(amid.line_break);

    ResilientParser full = parser;
    RowTable table;
    ASSERT_TRUE(next_row(full, table));
    ASSERT_EQ(table.open_field_count(), amid.fields);
    ASSERT_EQ(row_copy(full.row, OutputDialect(delimiter, quote)) == RowCopy::Bytes,
              !amid.needless_quotes)
        << testing::PrintToString(row);
    ASSERT_EQ(full.row.bytes, amid.text);
    ASSERT_EQ(full.row.needless_quotes, amid.needless_quotes);
    ASSERT_EQ(full.position, amid.next);
  }
  EXPECT_GT(plain_rows, 1000u);
}

// What the parser tells of each row, on the fast path and off it alike
// (each row stands once alone, where only the byte loop reads it, and once
// with enough input behind it for the fast path).
TEST(parser, row_facts_say_how_the_fields_relate_to_the_bytes) {
  struct Case {
    const char* name;
    std::string row;
    LineBreak line_break;
    std::uint32_t kept_quotes = 0;
    std::uint64_t after_quote = 0;
    std::uint64_t replaced = 0;
    bool quote_in_unquoted = false;
    bool needless_quotes = false;
  };
  const std::vector<Case> cases = {
      {"plain", "a,\"b,c\",d\n", LineBreak::Lf},
      {"a doubled quote", "a,\"b\"\"c\"\n", LineBreak::Lf},
      {"CR LF", "a,b\r\n", LineBreak::CrLf},
      {"a lone CR", "a,b\r", LineBreak::Cr},
      {"needless quotes", "\"a\",b\n", LineBreak::Lf, 0, 0, 0, false, true},
      {"a quote amid text", "a\"b,c\n", LineBreak::Lf, 0, 0, 0, true},
      {"kept stray quotes", "\"say \"hi\" now\",x\n", LineBreak::Lf, 2},
      {"text behind a closing quote", "\"ab\"cd,x\n", LineBreak::Lf, 0, 1},
      {"blanks behind closing quotes", "\"a,b\" ,\"c,d\"  \n", LineBreak::Lf, 0, 2},
      {"ill-formed UTF-8", "a\xFF,\xC3(\n", LineBreak::Lf, 0, 0, 2},
  };
  for (const Case& c : cases) {
    for (const std::string& data : {c.row, c.row + std::string(200, 'z') + "\n"}) {
      ResilientParser parser = make_parser(data, ',', '"', true);
      RowTable table;
      ASSERT_TRUE(next_row(parser, table)) << c.name;
      const RowFacts& row = parser.row;
      const std::size_t break_size = c.line_break == LineBreak::CrLf ? 2 : 1;
      EXPECT_EQ(row.bytes, std::string_view(c.row).substr(0, c.row.size() - break_size)) << c.name;
      EXPECT_EQ(row.line_break, c.line_break) << c.name;
      EXPECT_EQ(row.kept_quotes, c.kept_quotes) << c.name;
      EXPECT_EQ(row.bytes_after_quote, c.after_quote) << c.name;
      EXPECT_EQ(row.replaced, c.replaced) << c.name;
      EXPECT_EQ(row.quote_in_unquoted, c.quote_in_unquoted) << c.name;
      EXPECT_EQ(row.needless_quotes, c.needless_quotes) << c.name;
      EXPECT_FALSE(row.unclosed) << c.name;
    }
  }
  // A quote that never closes runs to the end of the input.
  ResilientParser parser = make_parser("a,\"b\nc", ',', '"', true);
  RowTable table;
  ASSERT_TRUE(next_row(parser, table));
  EXPECT_TRUE(parser.row.unclosed);
  EXPECT_EQ(parser.row.line_break, LineBreak::None);
  EXPECT_EQ(parser.row.bytes, "a,\"b\nc");
}

}  // namespace
}  // namespace csv_mendle
