#include "heuristics.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace csv_mendle {
namespace {

const std::string bom = "\xEF\xBB\xBF";

std::string repeat(const std::string& line, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += line;
  return out;
}

// Puts a blank or whitespace-only line (of assorted kinds, none holding a
// tab, which is a candidate delimiter) before every line, after a leading
// byte-order mark.
std::string with_blank_lines(const std::string& data) {
  const char* blanks[] = {"\n", "  \n", " \r\n", "\xC2\xA0\n", "\xE3\x80\x80\v\n"};
  std::size_t start = data.compare(0, 3, bom) == 0 ? 3 : 0;
  std::string out = data.substr(0, start);
  std::size_t k = 0;
  while (start < data.size()) {
    std::size_t end = data.find('\n', start);
    end = end == std::string::npos ? data.size() : end + 1;
    out += blanks[k++ % 5];
    out.append(data, start, end - start);
    start = end;
  }
  return out + "\n \n";
}

TEST(heuristics, blank_fields_hold_only_unicode_white_space) {
  const struct {
    std::string field;
    bool blank;
  } cases[] = {
      {"", true},
      {" ", true},
      {"\t\n\v\f\r ", true},
      {"\xC2\x85\xC2\xA0", true},                       // U+0085, U+00A0
      {"\xE1\x9A\x80", true},                           // U+1680
      {"\xE2\x80\x80\xE2\x80\x85\xE2\x80\x8A", true},   // U+2000, U+2005, U+200A
      {"\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF", true},   // U+2028, U+2029, U+202F
      {"\xE2\x81\x9F\xE3\x80\x80", true},               // U+205F, U+3000
      {" x ", false},
      {"\x1C\x1D\x1E\x1F", false},                      // separators, not White_Space
      {"\xE2\x80\x8B", false},                          // U+200B zero width space
      {"\xE2\x80\xA7", false},                          // U+2027
      {"\xE2\x80\xB0", false},                          // U+2030
      {"\xE1\xA0\x8E", false},                          // U+180E
      {"\xEF\xBB\xBF", false},                          // U+FEFF
      {"\xE2\x81\xA0", false},                          // U+2060
      {"\xC2\xA0" "a", false},
      {"\xEF\xBF\xBD", false},                          // U+FFFD
      {"\xE2\x80", false},                              // cut short
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_blank_field(c.field), c.blank) << testing::PrintToString(c.field);
  }
}

TEST(heuristics, sniffing_picks_the_best_scoring_candidate) {
  const std::string semicolon_20 = repeat("x;", 19) + "x,x\n";  // ';' 20 fields, ',' 2
  const struct {
    const char* name;
    std::string sample;
    unsigned char delimiter;
  } cases[] = {
      {"empty sample", "", ','},
      {"only a byte-order mark", bom, ','},
      {"only blank lines", "\n  \n\t\r\n\xC2\xA0\n", ','},
      {"one row of semicolons", "a;b;c\n", ','},
      {"one row of bars", "a|b|c|d\n", ','},
      {"one row among blank lines", "\n a;b;c\n\n", ','},
      {"two rows of semicolons", "a;b\nc;d\n", ';'},
      {"more fields win at equal consistency", repeat("a,b;c;d\n", 10), ';'},
      {"one short row costs semicolon the lead", repeat("a;b;c,d\n", 9) + "ab,cd\n", ','},
      {"less consistent but wider wins", repeat("a|b|c|d|e,f\n", 35) + repeat("a,b\n", 15), '|'},
      {"comma wins a tie with semicolon", "a;b,c\nd;e,f\n", ','},
      {"tab wins a tie with bar", "a\tb|c\nd\te|f\n", '\t'},
      {"delimiters inside double quotes do not split", repeat("\"a,b\";\"c,d\"\n", 2), ';'},
      {"tab behind a closing quote", repeat("\"a,b\"\t\"c,d\"\n", 2), '\t'},
      {"rows after the 50th counted row are not read",
       repeat("a;b\n", 50) + repeat("a,b,c,d\n", 500), ';'},
      {"rows of one field lower the score", repeat("word\n", 30) + repeat("w;x;y;z\n", 20), ';'},
      {"the byte-order mark is not part of the first field",
       bom + "\"a;b;c\"\n\"d;e;f\"\n", ','},
      {"byte-order mark before rows", bom + "a;b\nc;d\n", ';'},
      // Tied widths 2 and 20 for ';' (score 0.5 or 1.5 against ',' at 1.0):
      // the width met first in the data is taken.
      {"tied widths: the first met is taken (narrow)",
       repeat("a;b,c\n" + semicolon_20, 5), ','},
      {"tied widths: the first met is taken (wide)",
       repeat(semicolon_20 + "a;b,c\n", 5), ';'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sniff_delimiter(c.sample), c.delimiter);
    EXPECT_EQ(sniff_delimiter(with_blank_lines(c.sample)), c.delimiter) << "with blank lines";
    if (c.sample.compare(0, 3, bom) != 0) {
      EXPECT_EQ(sniff_delimiter(bom + c.sample), c.delimiter) << "with a byte-order mark";
    }
  }
}

TEST(heuristics, sniffing_reads_exactly_fifty_counted_rows) {
  // Row 50 is the only one ';' splits, row 51 the only one ',' splits: ';'
  // scores 1/50, while ',' would score 1/51 * ln 3 > 1/50 if row 51 counted.
  const std::string sample = repeat("word\n", 49) + "a;b\n" + "a,b,c\n";
  EXPECT_EQ(sniff_delimiter(sample), ';');
  // Blank lines must not use up the limit, or ';' would never see row 50.
  EXPECT_EQ(sniff_delimiter(with_blank_lines(sample)), ';');
  EXPECT_EQ(sniff_delimiter(repeat("word\n", 48) + "a;b\n" + "a,b,c\n"), ',');
}

TEST(heuristics, column_count_is_the_most_frequent_width) {
  const struct {
    const char* name;
    std::string data;
    unsigned char delimiter;
    std::uint64_t columns;
  } cases[] = {
      {"empty data", "", ',', 0},
      {"only a byte-order mark", bom, ',', 0},
      {"only blank lines", "\n \n\t\n\xE3\x80\x80\n", ',', 0},
      {"single row of three fields", "a,b,c", ',', 3},
      {"no delimiter anywhere", "a\nb;c\n\"x,y\"\n", ',', 1},
      {"60 of 3 then 50 of 5", repeat("a,b,c\n", 60) + repeat("a,b,c,d,e\n", 50), ',', 3},
      {"40 of 3 then 70 of 5", repeat("a,b,c\n", 40) + repeat("a,b,c,d,e\n", 70), ',', 5},
      {"rows after the 100th are not read", repeat("a;b\n", 100) + repeat("a;b;c\n", 1000), ';', 2},
      // 50 of 2 and 50 of 3 tie at the limit (the first met wins); a 101st
      // row read by mistake would make it 3.
      {"exactly 100 counted rows", repeat("a,b\n", 50) + repeat("a,b,c\n", 51), ',', 2},
      {"a quoted delimiter stays in its field", "\"a,b\",c\n\"d,e\",f\n", ',', 2},
      {"a lone delimiter is two empty fields", ",\n,\nx\n", ',', 2},
      {"a lone space delimiter is two empty fields", " \n \nx\n", ' ', 2},
      {"ties go to the width met first", "a,b\nc\n", ',', 2},
      {"ties go to the width met first, one field", "c\na,b\n", ',', 1},
      {"the byte-order mark is not part of the first field", bom + "\"a,b\"\n", ',', 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(infer_column_count(c.data, c.delimiter), c.columns);
    if (c.delimiter != ' ') {
      EXPECT_EQ(infer_column_count(with_blank_lines(c.data), c.delimiter), c.columns)
          << "with blank lines";
    }
    if (c.data.compare(0, 3, bom) != 0) {
      EXPECT_EQ(infer_column_count(bom + c.data, c.delimiter), c.columns)
          << "with a byte-order mark";
    }
  }
}

TEST(heuristics, the_quote_is_the_one_the_rows_read_best_with) {
  const struct {
    const char* name;
    std::string sample;
    std::optional<unsigned char> given;
    unsigned char quote;
    unsigned char delimiter;
  } cases[] = {
      {"no quotes at all: a tie", repeat("a,b,c\n", 5), std::nullopt, '"', ','},
      {"empty sample", "", std::nullopt, '"', ','},
      {"apostrophes hold commas in some rows",
       "id,name,n\n1,'Smith, J',2\n3,'Doe',4\n5,'Roe, R',6\n", std::nullopt, '\'', ','},
      // Every row splits evenly either way: the quotes that read cleanly decide.
      {"apostrophes hold one comma in every row", repeat("1,'a, b',2\n", 4), std::nullopt, '\'', ','},
      {"double quotes hold commas", repeat("1,\"a, b\",2\n", 3) + "4,5,6\n", std::nullopt, '"', ','},
      {"apostrophes in text are no quotes", repeat("it's,ok,x\n", 3) + "Jo's,y,z\n", std::nullopt,
       '"', ','},
      // Taken as a quote, the first apostrophe would run open to the end.
      {"an apostrophe that opens a field", "'tis,a\nb,c\nd,e\n", std::nullopt, '"', ','},
      {"a given delimiter is used with either quote", repeat("1;'a; b';2\n", 3), ';', '\'', ';'},
      {"the delimiter is sniffed with the quote", repeat("'a;b';'c;d'\n", 3), std::nullopt, '\'',
       ';'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SniffedQuote sniffed = sniff_quote(c.sample, c.given);
    EXPECT_EQ(sniffed.quote, c.quote);
    EXPECT_EQ(sniffed.delimiter, c.delimiter);
  }
}

}  // namespace
}  // namespace csv_mendle
