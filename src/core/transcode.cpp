#include "transcode.hpp"

#include <simdutf.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

namespace csv_mendle {

namespace {

// A name folded for comparison: lower case, '-' and '_' dropped.
std::string folded(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c == '-' || c == '_' || c == ' ') continue;
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return out;
}

struct NamedRequest {
  const char* name;  // folded
  EncodingRequest request;
};

using Kind = EncodingRequest::Kind;

constexpr NamedRequest kNames[] = {
    {"utf8", {Kind::Fixed, Encoding::Utf8}},
    {"u8", {Kind::Fixed, Encoding::Utf8}},
    {"cp1252", {Kind::Fixed, Encoding::Cp1252}},
    {"windows1252", {Kind::Fixed, Encoding::Cp1252}},
    {"latin1", {Kind::Fixed, Encoding::Latin1}},
    {"l1", {Kind::Fixed, Encoding::Latin1}},
    {"iso88591", {Kind::Fixed, Encoding::Latin1}},
    {"utf16", {Kind::Utf16, Encoding::Utf16Le}},
    {"utf16le", {Kind::Fixed, Encoding::Utf16Le}},
    {"utf16be", {Kind::Fixed, Encoding::Utf16Be}},
    {"utf32", {Kind::Utf32, Encoding::Utf32Le}},
    {"utf32le", {Kind::Fixed, Encoding::Utf32Le}},
    {"utf32be", {Kind::Fixed, Encoding::Utf32Be}},
    {"auto", {Kind::Auto, Encoding::Utf8}},
};

bool starts_with(std::string_view bytes, std::string_view prefix) noexcept {
  return bytes.substr(0, prefix.size()) == prefix;
}

// The encoding a byte-order mark at the start of `bytes` names, if any.
// UTF-32's little-endian mark begins like UTF-16's, so it is asked first.
std::optional<Encoding> by_byte_order_mark(std::string_view bytes) noexcept {
  using namespace std::string_view_literals;
  if (starts_with(bytes, "\xFF\xFE\x00\x00"sv)) return Encoding::Utf32Le;
  if (starts_with(bytes, "\x00\x00\xFE\xFF"sv)) return Encoding::Utf32Be;
  if (starts_with(bytes, "\xEF\xBB\xBF"sv)) return Encoding::Utf8;
  if (starts_with(bytes, "\xFF\xFE"sv)) return Encoding::Utf16Le;
  if (starts_with(bytes, "\xFE\xFF"sv)) return Encoding::Utf16Be;
  return std::nullopt;
}

// The characters cp1252 puts at 0x80..0x9F; its five unassigned bytes
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) read as the C1 controls of their value.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Appends the UTF-8 form of `c` (below U+10000) at `out`; returns its end.
char* put_utf8(char* out, char16_t c) noexcept {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// A new buffer of room `most`, filled by `fill(to)`, which returns how many
// bytes it wrote.
template <class Fill>
ByteBuffer filled(std::size_t most, Fill&& fill) {
  ByteBuffer out(std::max<std::size_t>(most, 1));
  out.set_size(fill(out.data()));
  return out;
}

// Each cp1252 byte's UTF-8 form in the low three bytes of a word, its
// length in the top one.
struct Cp1252Table {
  std::uint32_t entry[256];
};

Cp1252Table cp1252_table() noexcept {
  Cp1252Table table{};
  for (unsigned b = 0; b < 256; ++b) {
    const char16_t c = b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
    char utf8[3] = {};
    const auto size = static_cast<std::uint32_t>(put_utf8(utf8, c) - utf8);
    std::uint32_t word = size << 24;
    for (std::uint32_t k = 0; k < size; ++k) word |= std::uint32_t{static_cast<unsigned char>(utf8[k])} << (8 * k);
    table.entry[b] = word;
  }
  return table;
}

// cp1252 through a table, without a branch per byte: each byte stores its
// whole word and moves on by its length.  Exports in cp1252 are mostly
// ASCII with a letter or a euro sign every few words, too often for runs of
// ASCII to pay (BM in `./dev bench`: "csv_mendle.repair (accented cp1252)").
ByteBuffer cp1252_to_utf8(std::string_view in) {
  static const Cp1252Table table = cp1252_table();
  static_assert(std::endian::native == std::endian::little, "the words are stored in byte order");
  // Each byte becomes at most three, and the last word stores one more.
  return filled(3 * in.size() + 1, [&](char* to) {
    char* out = to;
    for (const char c : in) {
      const std::uint32_t word = table.entry[static_cast<unsigned char>(c)];
      std::memcpy(out, &word, 4);
      out += word >> 24;
    }
    return static_cast<std::size_t>(out - to);
  });
}

ByteBuffer utf16_to_utf8(std::string_view in, bool big_endian) {
  const auto* units = reinterpret_cast<const char16_t*>(in.data());
  const std::size_t count = in.size() / 2;
  // Valid UTF-16 in one pass into room for its worst case (three bytes a
  // unit); ill-formed input, which the converter refuses, is measured and
  // converted again with replacements.
  ByteBuffer direct(std::max<std::size_t>(3 * count, 1));
  const std::size_t written = big_endian
                                  ? simdutf::convert_utf16be_to_utf8(units, count, direct.data())
                                  : simdutf::convert_utf16le_to_utf8(units, count, direct.data());
  if (written != 0 || count == 0) {
    direct.set_size(written);
    return direct;
  }
  const simdutf::result length =
      big_endian ? simdutf::utf8_length_from_utf16be_with_replacement(units, count)
                 : simdutf::utf8_length_from_utf16le_with_replacement(units, count);
  return filled(length.count, [&](char* to) {
    return big_endian ? simdutf::convert_utf16be_to_utf8_with_replacement(units, count, to)
                      : simdutf::convert_utf16le_to_utf8_with_replacement(units, count, to);
  });
}

// UTF-32 in the machine's order: valid input through simdutf, else code
// point by code point, each one that is no Unicode scalar value (a
// surrogate, or past U+10FFFF) becoming U+FFFD.
ByteBuffer utf32_to_utf8(const char32_t* units, std::size_t count) {
  if (simdutf::validate_utf32(units, count)) {
    return filled(simdutf::utf8_length_from_utf32(units, count), [&](char* to) {
      return simdutf::convert_valid_utf32_to_utf8(units, count, to);
    });
  }
  return filled(4 * count, [&](char* to) {
    char* out = to;
    for (std::size_t i = 0; i < count; ++i) {
      char32_t c = units[i];
      if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
      if (c < 0x10000) {
        out = put_utf8(out, static_cast<char16_t>(c));
      } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return static_cast<std::size_t>(out - to);
  });
}

}  // namespace

std::optional<EncodingRequest> encoding_request(std::string_view name) noexcept {
  try {
    const std::string key = folded(name);
    for (const NamedRequest& entry : kNames) {
      if (key == entry.name) return entry.request;
    }
  } catch (...) {
  }
  return std::nullopt;
}

Encoding settle_encoding(const EncodingRequest& request, std::string_view bytes) noexcept {
  const std::optional<Encoding> marked = by_byte_order_mark(bytes);
  switch (request.kind) {
    case Kind::Fixed:
      return request.encoding;
    case Kind::Utf16:
      return marked == Encoding::Utf16Be ? Encoding::Utf16Be : Encoding::Utf16Le;
    case Kind::Utf32:
      return marked == Encoding::Utf32Be ? Encoding::Utf32Be : Encoding::Utf32Le;
    case Kind::Auto:
      break;
  }
  if (marked) return *marked;
  return simdutf::validate_utf8(bytes.data(), bytes.size()) ? Encoding::Utf8 : Encoding::Cp1252;
}

std::string_view encoding_name(Encoding encoding) noexcept {
  switch (encoding) {
    case Encoding::Utf8: return "utf-8";
    case Encoding::Cp1252: return "cp1252";
    case Encoding::Latin1: return "latin-1";
    case Encoding::Utf16Le: return "utf-16-le";
    case Encoding::Utf16Be: return "utf-16-be";
    case Encoding::Utf32Le: return "utf-32-le";
    case Encoding::Utf32Be: return "utf-32-be";
  }
  return "utf-8";
}

Result<ByteBuffer> transcode_to_utf8(ByteBuffer input, Encoding encoding) {
  const std::string_view in = input.view();
  switch (encoding) {
    case Encoding::Utf8:
      return input;
    case Encoding::Latin1:
      return filled(simdutf::utf8_length_from_latin1(in.data(), in.size()), [&](char* to) {
        return simdutf::convert_latin1_to_utf8(in.data(), in.size(), to);
      });
    case Encoding::Cp1252:
      return cp1252_to_utf8(in);
    case Encoding::Utf16Le:
    case Encoding::Utf16Be:
      if (in.size() % 2 != 0) return MendleError::of(MendleError::Cause::OddUtf16Length);
      return utf16_to_utf8(in, encoding == Encoding::Utf16Be);
    case Encoding::Utf32Le:
    case Encoding::Utf32Be:
      break;
  }
  if (in.size() % 4 != 0) return MendleError::of(MendleError::Cause::BadUtf32Length);
  // Read in the machine's order: units in the other order are turned round
  // in place, in the buffer this call owns.
  auto* units = reinterpret_cast<char32_t*>(input.data());
  const std::size_t count = in.size() / 4;
  const bool big_endian = encoding == Encoding::Utf32Be;
  if (big_endian != (std::endian::native == std::endian::big)) {
    for (std::size_t i = 0; i < count; ++i) units[i] = __builtin_bswap32(units[i]);
  }
  return utf32_to_utf8(units, count);
}

Result<TextInput> as_utf8(ByteBuffer input, const EncodingRequest& request) {
  const Encoding encoding = settle_encoding(request, input.view());
  Result<ByteBuffer> utf8 = transcode_to_utf8(std::move(input), encoding);
  if (!utf8) return utf8.error();
  return TextInput{std::move(utf8).value(), encoding};
}

}  // namespace csv_mendle
