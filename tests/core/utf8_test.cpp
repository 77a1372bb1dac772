#include "utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace csv_mendle {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

struct Case {
  const char* name;
  std::string input;
  std::string decoded;
};

// Decoding examples: each maximal ill-formed subsequence (the longest start
// of a well-formed sequence, or else one byte) becomes one U+FFFD.
const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      {"empty", "", ""},
      {"ASCII", "plain, text", "plain, text"},
      {"two-byte lead before ASCII", "\xC3\x28", R + "("},
      {"two-byte lead at the end", "ab\xC3", "ab" + R},
      {"three-byte sequence cut short", "\xE2\x82", R},
      {"three-byte sequence cut short before ASCII", "\xE2\x82(", R + "("},
      {"four-byte sequence cut short", "\xF0\x9F\x98", R},
      {"four-byte sequence cut short before another lead", "\xF0\x9F\xC3\xA9", R + "\xC3\xA9"},
      {"lone continuation bytes", "\x80\xBF", R + R},
      {"overlong two-byte leads", "\xC0\xAF\xC1\xBF", R + R + R + R},
      {"overlong three-byte", "\xE0\x80\xAF", R + R + R},
      {"overlong four-byte", "\xF0\x80\x80\x80", R + R + R + R},
      {"surrogate", "\xED\xA0\x80", R + R + R},
      {"last surrogate", "\xED\xBF\xBF", R + R + R},
      {"above U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
      {"leads that never start a sequence", "\xF5\x80\xFE\xFF", R + R + R + R},
      {"smallest three-byte", "\xE0\xA0\x80", "\xE0\xA0\x80"},
      {"last before the surrogates", "\xED\x9F\xBF", "\xED\x9F\xBF"},
      {"first after the surrogates", "\xEE\x80\x80", "\xEE\x80\x80"},
      {"smallest four-byte", "\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
      {"U+10FFFF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"byte-order mark and U+FFFD are ordinary text", "\xEF\xBB\xBF" "a\xEF\xBF\xBD",
       "\xEF\xBB\xBF" "a\xEF\xBF\xBD"},
      {"mixed, as in the Unicode Standard's example",
       "a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d",
       "a" + R + R + R + "b" + R + "c" + R + R + "d"},
      {"long ASCII runs around a bad byte", "0123456789abcdef\xFF" "0123456789abcdef",
       "0123456789abcdef" + R + "0123456789abcdef"},
  };
  return table;
}

TEST(utf8, lossy_decoding_examples) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    std::string out = "kept:";
    append_lossy_utf8(out, c.input);
    EXPECT_EQ(out, "kept:" + c.decoded);
    EXPECT_EQ(is_valid_utf8(c.input), c.input == c.decoded);

    // Only the tail is decoded; bytes before `start` stay as they are, even
    // when they are not valid themselves.
    std::string text = "x\xFF" + c.input;
    decode_tail_lossy(text, 2);
    EXPECT_EQ(text, "x\xFF" + c.decoded);
  }
}

TEST(utf8, bad_byte_found_at_every_offset_of_the_word_at_a_time_scan) {
  for (std::size_t at = 0; at < 24; ++at) {
    for (const char* bad : {"\xFF", "\xC3", "\xE2\x82"}) {
      std::string input(24, 'a');
      input.replace(at, std::string(bad).size(), bad);
      std::string expected = input;
      expected.replace(at, std::string(bad).size(), R);
      SCOPED_TRACE(at);
      EXPECT_FALSE(is_valid_utf8(input));
      std::string out;
      append_lossy_utf8(out, input);
      EXPECT_EQ(out, expected);
    }
  }
}

TEST(utf8, latin1_characters_for_delimiter_bytes) {
  const struct {
    unsigned char byte;
    std::string encoded;
  } cases[] = {
      {0x00, std::string(1, '\0')}, {',', ","},          {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},           {0xE9, "\xC3\xA9"}, {0xFF, "\xC3\xBF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(latin1_char(c.byte).view(), c.encoded) << int(c.byte);
  }
}

// ---------------------------------------------------------------------------
// Reference decoder built from first principles: encode every Unicode scalar
// value, remember every encoding and every start of one, and at each offset
// take the longest run of bytes that is an encoding or the start of one.

std::string encode(std::uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

std::uint32_t pack(std::string_view bytes) {
  std::uint32_t key = 0;
  for (char b : bytes) key = (key << 8) | static_cast<unsigned char>(b);
  return key;
}

class ReferenceDecoder {
 public:
  ReferenceDecoder() {
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;
      const std::string e = encode(cp);
      const std::string_view view = e;
      full_[e.size()].push_back(pack(view));
      for (std::size_t len = 1; len < e.size(); ++len) {
        // Encodings follow code point order, so equal starts arrive together.
        const std::uint32_t key = pack(view.substr(0, len));
        if (starts_[len].empty() || starts_[len].back() != key) starts_[len].push_back(key);
      }
    }
    for (auto* sets : {&full_, &starts_}) {
      for (auto& v : *sets) {
        std::sort(v.begin(), v.end());
        v.erase(std::unique(v.begin(), v.end()), v.end());
      }
    }
  }

  std::string decode(std::string_view in) const {
    std::string out;
    std::size_t i = 0;
    while (i < in.size()) {
      std::size_t longest = 0;
      bool complete = false;
      for (std::size_t len = 1; len <= 4 && i + len <= in.size(); ++len) {
        const std::uint32_t key = pack(in.substr(i, len));
        if (has(full_[len], key)) {
          longest = len;
          complete = true;
          break;
        }
        if (!has(starts_[len], key)) break;
        longest = len;
      }
      if (complete) {
        out.append(in.substr(i, longest));
      } else {
        out += R;
      }
      i += std::max<std::size_t>(longest, 1);
    }
    return out;
  }

  bool valid(std::string_view in) const {
    std::size_t i = 0;
    while (i < in.size()) {
      std::size_t len = 1;
      while (len <= 4 && !(i + len <= in.size() && has(full_[len], pack(in.substr(i, len))))) ++len;
      if (len > 4) return false;
      i += len;
    }
    return true;
  }

 private:
  static bool has(const std::vector<std::uint32_t>& v, std::uint32_t key) {
    return std::binary_search(v.begin(), v.end(), key);
  }
  std::vector<std::uint32_t> full_[5];
  std::vector<std::uint32_t> starts_[5];
};

TEST(utf8, agrees_with_a_reference_decoder_on_random_bytes) {
  const ReferenceDecoder reference;
  const unsigned char edges[] = {'a',  0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1,
                                 0xF3, 0xF4, 0xF5, 0xFF};
  std::mt19937 rng(7);
  const auto below = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng);
  };
  for (int iteration = 0; iteration < 20000; ++iteration) {
    std::string input;
    const std::uint32_t pieces = below(12);
    for (std::uint32_t p = 0; p < pieces; ++p) {
      switch (below(4)) {
        case 0: input += static_cast<char>(edges[below(sizeof edges)]); break;
        case 1: input += static_cast<char>(below(256)); break;
        case 2: {
          std::uint32_t cp = below(0x110000);
          if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xE9;
          input += encode(cp);
          break;
        }
        default: input += std::string(below(10), 'x'); break;
      }
    }
    SCOPED_TRACE(testing::PrintToString(input));
    const std::string expected = reference.decode(input);
    std::string got;
    append_lossy_utf8(got, input);
    ASSERT_EQ(got, expected);
    ASSERT_EQ(is_valid_utf8(input), reference.valid(input));
    ASSERT_TRUE(is_valid_utf8(got));
  }
}

}  // namespace
}  // namespace csv_mendle
