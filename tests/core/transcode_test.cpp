#include "transcode.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace csv_mendle {
namespace {

ByteBuffer buffer_of(std::string_view bytes) {
  ByteBuffer buffer(bytes.size() + 1);
  if (!bytes.empty()) std::memcpy(buffer.data(), bytes.data(), bytes.size());
  buffer.set_size(bytes.size());
  return buffer;
}

std::string utf8_of(std::string_view bytes, Encoding encoding) {
  Result<ByteBuffer> out = transcode_to_utf8(buffer_of(bytes), encoding);
  EXPECT_TRUE(out.ok());
  return out ? std::string(out.value().view()) : std::string();
}

TEST(transcode, each_encoding_becomes_its_utf8) {
  struct Case {
    const char* name;
    std::string input;
    Encoding encoding;
    std::string utf8;
  };
  using namespace std::string_literals;
  const std::vector<Case> cases = {
      {"cp1252 letters and the euro", "\xE4;\xDF;\x80\n", Encoding::Cp1252, "ä;ß;€\n"},
      {"cp1252's unassigned bytes are C1 controls", "\x81\x9D", Encoding::Cp1252, "\xC2\x81\xC2\x9D"},
      {"latin-1 takes 0x80 as U+0080", "a\x80\xFF", Encoding::Latin1, "a\xC2\x80\xC3\xBF"},
      {"UTF-16LE with its mark", "\xFF\xFE" "a\0,\0\xAC\x20\n\0"s, Encoding::Utf16Le,
       "\xEF\xBB\xBF" "a,€\n"},
      {"UTF-16BE", "\0a\0\t\0b"s, Encoding::Utf16Be, "a\tb"},
      {"a lone surrogate in UTF-16", "\x00\xD8" "a\0"s, Encoding::Utf16Le, "\xEF\xBF\xBD" "a"},
      {"UTF-32LE beyond the BMP", "\x00\xF6\x01\x00" "b\0\0\0"s, Encoding::Utf32Le,
       "\xF0\x9F\x98\x80" "b"},
      {"UTF-32BE", "\0\0\0a\0\0\0\n"s, Encoding::Utf32Be, "a\n"},
      {"UTF-32 past U+10FFFF", "\0\0\x11\0"s, Encoding::Utf32Le, "\xEF\xBF\xBD"},
      {"UTF-8 stays as it is, ill-formed bytes too", "a\xFF", Encoding::Utf8, "a\xFF"},
      {"nothing", "", Encoding::Utf16Le, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8_of(c.input, c.encoding), c.utf8) << c.name;
}

TEST(transcode, a_length_that_is_no_whole_number_of_units_fails) {
  const Result<ByteBuffer> utf16 = transcode_to_utf8(buffer_of("abc"), Encoding::Utf16Le);
  ASSERT_FALSE(utf16.ok());
  EXPECT_EQ(utf16.error().text(), "UTF-16 input has an odd number of bytes");
  const Result<ByteBuffer> utf32 = transcode_to_utf8(buffer_of("abcdef"), Encoding::Utf32Be);
  ASSERT_FALSE(utf32.ok());
  EXPECT_EQ(utf32.error().cause, MendleError::Cause::BadUtf32Length);
}

TEST(transcode, names_and_byte_order_marks_settle_the_encoding) {
  using namespace std::string_view_literals;
  struct Case {
    const char* name;
    std::string_view bytes;
    Encoding settled;
  };
  const std::vector<Case> cases = {
      {"UTF_16-le", "\xFE\xFF"sv, Encoding::Utf16Le},  // a fixed order wins over the mark
      {"utf-16", "\xFE\xFF\0a"sv, Encoding::Utf16Be},
      {"UTF16", "a\0"sv, Encoding::Utf16Le},
      {"utf-32", "\0\0\xFE\xFF"sv, Encoding::Utf32Be},
      {"Windows-1252", "a"sv, Encoding::Cp1252},
      {"iso-8859-1", "a"sv, Encoding::Latin1},
      {"auto", "\xFF\xFE\0\0"sv, Encoding::Utf32Le},
      {"auto", "\xFF\xFE" "a\0"sv, Encoding::Utf16Le},
      {"auto", "\xEF\xBB\xBF\xC3\xA4"sv, Encoding::Utf8},
      {"auto", "valid \xC3\xA4"sv, Encoding::Utf8},
      {"auto", "an export: \xE4"sv, Encoding::Cp1252},
  };
  for (const Case& c : cases) {
    const std::optional<EncodingRequest> request = encoding_request(c.name);
    ASSERT_TRUE(request) << c.name;
    EXPECT_EQ(settle_encoding(*request, c.bytes), c.settled) << c.name;
  }
  EXPECT_FALSE(encoding_request("utf-7"));
  EXPECT_FALSE(encoding_request(""));
  EXPECT_EQ(encoding_name(Encoding::Utf16Le), "utf-16-le");
}

// cp1252 takes eight ASCII bytes at a time where it can:
// wherever the specials fall, the result is the byte-by-byte one.
TEST(transcode, cp1252_is_the_same_on_and_off_the_fast_road) {
  std::mt19937 rng(1252);
  std::string input(20000, 'a');
  for (int round = 0; round < 20; ++round) {
    for (char& c : input) {
      c = static_cast<char>(rng() % 4 == 0 ? 0x80 + rng() % 128 : 'a' + rng() % 26);
    }
    // A special byte in a few places only, so that most blocks hold none.
    for (std::size_t i = 0; i < input.size(); ++i) {
      const auto b = static_cast<unsigned char>(input[i]);
      if ((b & 0xE0) == 0x80 && rng() % 500 != 0) input[i] = 'x';
    }
    std::string expected;
    for (const char c : input) {
      const std::string one = utf8_of(std::string(1, c), Encoding::Cp1252);
      expected += one;
    }
    ASSERT_EQ(utf8_of(input, Encoding::Cp1252), expected) << "round " << round;
  }
}

}  // namespace
}  // namespace csv_mendle
