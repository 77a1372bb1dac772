#include "plain_row.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parser.hpp"
#include "utf8.hpp"

namespace csv_mendle {
namespace {

using Fields = std::vector<std::string>;

// The fields the walk finds in the row at `start`, up to the `stop`th when
// given.
Fields walk(std::string_view data, std::uint64_t start, unsigned char delimiter,
            unsigned char quote, std::size_t stop = SIZE_MAX) {
  Fields out;
  const bool complete = visit_plain_row(
      data, start, delimiter, quote, [&](std::string_view field, bool ascii) {
        // Every field is a view into the row, its ASCII note exact.
        EXPECT_GE(field.data(), data.data() + start);
        EXPECT_LE(field.data() + field.size(), data.data() + data.size());
        EXPECT_EQ(ascii, is_ascii(field));
        out.emplace_back(field);
        return out.size() < stop;
      });
  EXPECT_EQ(complete, out.size() < stop);
  if (stop == SIZE_MAX) {
    EXPECT_EQ(count_plain_fields(data, start, delimiter, quote), out.size());
  }
  return out;
}

struct Skimmed {
  bool plain = false;
  SkimmedRow row;
  Fields parsed;  // what next_row makes of the same row
};

Skimmed skim_and_parse(std::string_view data, std::uint64_t start, unsigned char delimiter,
                       unsigned char quote) {
  Skimmed out;
  ResilientParser parser = make_parser(data, delimiter, quote, true);
  parser.position = start;
  out.plain = skim_row(parser, out.row);
  out.parsed = next_row_fields(parser);
  return out;
}

// The row at `start`, which skim_row must accept, walked by its bytes and
// parsed by next_row: both must give the same fields, as many as skim_row
// counted, both where the row's bytes run on to others and where they end
// the data.
void expect_walk_agrees(std::string_view data, std::uint64_t start, unsigned char delimiter,
                        unsigned char quote) {
  SCOPED_TRACE(testing::PrintToString(std::string(data)) + " start=" + std::to_string(start));
  const Skimmed s = skim_and_parse(data, start, delimiter, quote);
  ASSERT_TRUE(s.plain);
  const Fields walked = walk(data, start, delimiter, quote);
  EXPECT_EQ(walked, s.parsed);
  EXPECT_EQ(walked.size(), s.row.fields);
  const std::string alone(s.row.text);
  EXPECT_EQ(walk(alone, 0, delimiter, quote), walked);
  // A visit that returns false ends the walk.
  EXPECT_EQ(walk(data, start, delimiter, quote, 1), Fields(walked.begin(), walked.begin() + 1));
}

TEST(plain_row, fields_agree_with_next_row) {
  struct Case {
    std::string row;
    unsigned char delimiter = ',';
    unsigned char quote = '"';
  };
  const std::string w16(16, 'x');
  const std::vector<Case> cases = {
      {"a,b,c"},
      {""},  // one empty field
      {",,"},
      {"a,"},  // a trailing empty field
      {",a"},
      {"\"x,y\",z"},
      {"z,\"x,y\""},
      {"\"x,y\""},
      {"\"a,b,c,d\",,\"e,f\","},
      {" a , b "},  // blanks are text
      {"caf\xC3\xA9,\xF0\x9F\x98\x80,\"\xE2\x82\xAC,\",plain"},
      {std::string("a\0b,c", 5)},
      {"a\tb\t\"c\td\"\t", '\t'},
      {"a;\"b;c\";;d", ';'},
      {"a,'b,c',\"d", ',', '\''},  // the other quote is text
      // Fields and quotes on the edges of the 16-byte blocks and the 64-byte
      // windows the scans read, quoted text running across windows, and
      // non-ASCII bytes in a later window only.
      {w16.substr(0, 15) + ",\"a,b\"," + w16},
      {w16.substr(0, 14) + ",\"" + w16.substr(0, 14) + ",\"" + ",x"},
      {w16 + w16 + "," + w16.substr(0, 15) + ",\"," + w16 + "\""},
      {w16 + "," + w16 + ","},
      {std::string(63, 'w') + ",\"" + std::string(70, ',') + "\"," + std::string(64, 'v')},
      {std::string(62, 'w') + ",\"a,b\"," + std::string(130, 'v') + ","},
      {std::string(63, 'w') + "," + std::string(64, 'v') + "," + std::string(64, 'u')},
      {std::string(200, ';') + "\"a;b\"", ';'},
      {std::string(70, 'a') + ",\xC3\xA9" + std::string(70, 'b') + ",c"},
  };
  for (const Case& c : cases) {
    // The row ending the data (empty data holds no row), before a line
    // break, and amid other rows.
    if (!c.row.empty()) expect_walk_agrees(c.row, 0, c.delimiter, c.quote);
    expect_walk_agrees(c.row + "\n", 0, c.delimiter, c.quote);
    expect_walk_agrees("before\n" + c.row + "\nafter,\"x\n", 7, c.delimiter, c.quote);
  }
}

TEST(plain_row, rows_skim_row_refuses) {
  struct Case {
    const char* name;
    std::string row;
    unsigned char delimiter = ',';
  };
  const std::vector<Case> cases = {
      {"a delimiter of 0x80 or more", "a\xA7" "b", 0xA7},
      {"a quote amid unquoted text", "a\"b,c"},
      {"a doubled quote", "\"a,\"\"b\",c"},
      {"text behind the closing quote", "\"a,b\"c,d"},
      {"a blank behind the closing quote", "\"a,b\" ,d"},
      {"a quote that never closes", "a,\"b,c"},
      {"a line break inside quotes", "\"a,\nb\",c"},
      {"a CR LF line end", "a,b\r\nc,d\n"},
      {"a lone CR", "a\rb"},
      {"bytes that are no UTF-8", "a,\xFF"},
      // The same where the 64-byte windows the scan reads meet.
      {"a quote that never closes, to a window's end", "\"b," + std::string(61, 'c')},
      {"text right behind a closing quote across windows", "\"a," + std::string(60, 'a') + "\"x,y"},
      {"a quote amid unquoted text across windows", std::string(64, 'a') + "\"b"},
      {"a CR in a later window", std::string(70, 'a') + "\r"},
  };
  for (const Case& c : cases) {
    SkimmedRow row;
    const ResilientParser parser = make_parser(c.row, c.delimiter, '"', true);
    EXPECT_FALSE(skim_row(parser, row)) << c.name;
  }
  // Quotes around text without the delimiter are needless, not a refusal,
  // also where the windows meet.
  for (const std::string& row : {std::string("\"ab\",c"), "x,\"" + std::string(70, 'a') + "\",y"}) {
    SkimmedRow skimmed;
    EXPECT_TRUE(skim_row(make_parser(row, ',', '"', true), skimmed)) << row;
    EXPECT_TRUE(skimmed.needless_quotes) << row;
  }
}

// ---- random rows ----

// Whether the row at `start` is plain, by its definition taken byte by
// byte, and then whether a quoted field holds no delimiter.
struct PlainByDefinition {
  bool plain = false;
  bool needless_quotes = false;
};
PlainByDefinition plain_by_definition(std::string_view data, std::uint64_t start,
                                      unsigned char delimiter, unsigned char quote) {
  const auto at = [&](std::uint64_t i) { return static_cast<unsigned char>(data[i]); };
  const std::uint64_t n = data.size();
  if (start >= n || delimiter >= 0x80 || quote >= 0x80 || delimiter == quote ||
      delimiter == '\r' || delimiter == '\n' || quote == '\r' || quote == '\n') {
    return {};
  }
  bool needless_quotes = false;
  std::uint64_t p = start;
  for (;;) {
    std::uint64_t end = p;
    if (p < n && at(p) == quote) {
      std::uint64_t q = p + 1;
      bool holds_delimiter = false;
      for (; q < n && at(q) != quote; ++q) {
        if (at(q) == '\r' || at(q) == '\n') return {};
        holds_delimiter = holds_delimiter || at(q) == delimiter;
      }
      if (q == n) return {};
      needless_quotes = needless_quotes || !holds_delimiter;
      end = q + 1;
      if (end < n && at(end) != delimiter && at(end) != '\n') return {};
    } else {
      for (; end < n && at(end) != delimiter && at(end) != '\n'; ++end) {
        if (at(end) == quote || at(end) == '\r') return {};
      }
    }
    if (end < n && at(end) == delimiter) {
      p = end + 1;
      continue;
    }
    return {is_valid_utf8(data.substr(start, end - start)), needless_quotes};
  }
}

// Random rows built to be plain, of fields that cross the blocks and windows
// in every way: each must be skimmed and walked into exactly its fields.
TEST(plain_row, random_plain_rows_give_back_their_fields) {
  std::mt19937 rng(20250117);
  const auto pick = [&](std::size_t size) {
    return std::uniform_int_distribution<std::size_t>(0, size - 1)(rng);
  };
  const std::vector<std::string> pieces = {"a", "bc", "defghij", " ", "\t", "\xC3\xA9", "\xE2\x82\xAC",
                                           "0123456789abcdefghij", "'"};
  const unsigned char delimiters[] = {',', ';', '\t', '|', ' '};
  for (int iteration = 0; iteration < 20000; ++iteration) {
    const unsigned char delimiter = delimiters[pick(sizeof delimiters)];
    const std::string d(1, static_cast<char>(delimiter));
    Fields fields(1 + pick(12));
    std::string row;
    std::vector<std::size_t> starts;  // where each field's bytes start in the row
    for (std::size_t i = 0; i < fields.size(); ++i) {
      std::string& field = fields[i];
      for (std::size_t k = pick(4); k > 0; --k) {
        const std::string& piece = pieces[pick(pieces.size())];
        if (piece != d) field += piece;
      }
      if (i > 0) row += d;
      starts.push_back(row.size());
      if (pick(3) == 0) {
        field += d + pieces[pick(3)];  // quoted around the delimiter
        row += "\"" + field + "\"";
      } else {
        row += field;
      }
    }
    std::string data = std::string(pick(20), 'p') + "\n";
    const std::uint64_t start = data.size();
    data += row;
    // Without a line break behind it the row runs to the end of the data,
    // where an empty row would be no row at all.
    if (row.empty() || pick(2) == 0) data += "\nnext,\"row\"\n";
    SCOPED_TRACE(testing::PrintToString(data));
    ASSERT_TRUE(plain_by_definition(data, start, delimiter, '"').plain);
    expect_walk_agrees(data, start, delimiter, '"');
    ASSERT_EQ(walk(data, start, delimiter, '"'), fields);
    // Counted from the end, the count-th delimiter outside quotes is the
    // one in front of field n - count.
    const std::size_t n = fields.size();
    for (std::size_t count = 0; count <= n + 1; ++count) {
      const std::size_t cut = count == 0 ? row.size() : count < n ? starts[n - count] : 0;
      ASSERT_EQ(plain_cut_from_end(row, count, delimiter, '"'), cut) << "count " << count;
    }
  }
}

// Random bytes, dense or sparse in syntax (rows short, or long across many
// windows): skim_row accepts exactly the plain rows, and then the walk agrees
// with next_row.  On any row the walk stays inside it.
TEST(plain_row, random_rows_are_skimmed_by_the_definition) {
  const std::vector<unsigned char> dense = {'a', 'b', ',', ',', ';', '"', '"', '\'', ' ', '\r', '\n', 0xC3, 0xA9, 0xFF};
  std::vector<unsigned char> sparse(60, 'a');
  for (const unsigned char c : {',', ',', ',', '"', '"', ';', '\n', '\r', '\xC3', '\xA9'}) {
    sparse.push_back(c);
  }
  const unsigned char delimiters[] = {',', ',', ';', '\t', '"', 0xA9};
  const unsigned char quotes[] = {'"', '"', '\'', ','};
  std::mt19937 rng(20250118);
  const auto pick = [&](std::size_t size) {
    return std::uniform_int_distribution<std::size_t>(0, size - 1)(rng);
  };
  for (const auto& [alphabet, longest] : {std::pair{dense, 100}, std::pair{sparse, 400}}) {
    int plain_rows = 0;
    for (int iteration = 0; iteration < 40000; ++iteration) {
      std::string data(1 + pick(longest), '\0');
      for (char& ch : data) ch = static_cast<char>(alphabet[pick(alphabet.size())]);
      const unsigned char delimiter = delimiters[pick(sizeof delimiters)];
      const unsigned char quote = quotes[pick(sizeof quotes)];
      const std::uint64_t start = pick(data.size());
      SCOPED_TRACE(testing::PrintToString(data) + " delimiter=" + std::to_string(delimiter) +
                   " quote=" + std::to_string(quote) + " start=" + std::to_string(start));

      const PlainByDefinition expected = plain_by_definition(data, start, delimiter, quote);
      const bool plain = expected.plain;
      const Skimmed skimmed = skim_and_parse(data, start, delimiter, quote);
      ASSERT_EQ(skimmed.plain, plain);
      if (plain) {
        ASSERT_EQ(skimmed.row.needless_quotes, expected.needless_quotes);
        ++plain_rows;
        expect_walk_agrees(data, start, delimiter, quote);
      } else {
        walk(data, start, delimiter, quote);
      }
    }
    EXPECT_GT(plain_rows, 2000);  // plain rows are common enough
  }
}

}  // namespace
}  // namespace csv_mendle
