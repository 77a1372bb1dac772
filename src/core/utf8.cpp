#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace csv_mendle {
namespace {

using Byte = unsigned char;

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// First byte at or after `p` that is not ASCII, or `end`.  Thirty-two bytes
// at a time, then eight, then one.
const Byte* skip_ascii(const Byte* p, const Byte* end) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  while (end - p >= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p, sizeof w);
    if (((w[0] | w[1] | w[2] | w[3]) & kHighBits) != 0) break;
    p += 32;
  }
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (word & kHighBits) break;
    p += 8;
  }
  while (p < end && *p < 0x80) ++p;
  return p;
}

// One step of decoding at a non-ASCII byte: either a well-formed sequence of
// `length` bytes, or a maximal ill-formed subsequence of `length` bytes (the
// longest prefix of a well-formed sequence, or the lone offending byte), which
// stands for one U+FFFD.
struct Step {
  std::size_t length;
  bool valid;
};

Step decode_step(const Byte* p, const Byte* end) noexcept {
  const Byte lead = p[0];
  std::size_t trail;  // continuation bytes the lead byte asks for
  Byte lo = 0x80;     // allowed range of the first continuation byte; it
  Byte hi = 0xBF;     // excludes overlongs, surrogates and code points past U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
  } else if (lead == 0xE0) {
    trail = 2;
    lo = 0xA0;
  } else if (lead == 0xED) {
    trail = 2;
    hi = 0x9F;
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    trail = 2;
  } else if (lead == 0xF0) {
    trail = 3;
    lo = 0x90;
  } else if (lead == 0xF4) {
    trail = 3;
    hi = 0x8F;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    trail = 3;
  } else {
    return {1, lead < 0x80};  // ASCII, or a byte that never starts a sequence
  }
  const std::size_t available = static_cast<std::size_t>(end - p);
  for (std::size_t i = 1; i <= trail; ++i) {
    if (i >= available || p[i] < lo || p[i] > hi) return {i, false};
    lo = 0x80;
    hi = 0xBF;
  }
  return {trail + 1, true};
}

// Offset of the first ill-formed byte in `bytes`, or its size when valid.
std::size_t valid_prefix_length(std::string_view bytes) noexcept {
  const Byte* const begin = reinterpret_cast<const Byte*>(bytes.data());
  const Byte* const end = begin + bytes.size();
  const Byte* p = begin;
  while (true) {
    p = skip_ascii(p, end);
    if (p == end) return bytes.size();
    const Step step = decode_step(p, end);
    if (!step.valid) return static_cast<std::size_t>(p - begin);
    p += step.length;
  }
}

}  // namespace

bool is_ascii(std::string_view bytes) noexcept {
  const Byte* const begin = reinterpret_cast<const Byte*>(bytes.data());
  const Byte* const end = begin + bytes.size();
  return skip_ascii(begin, end) == end;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  return valid_prefix_length(bytes) == bytes.size();
}

std::size_t append_lossy_utf8(std::string& out, std::string_view bytes) {
  const Byte* const begin = reinterpret_cast<const Byte*>(bytes.data());
  const Byte* const end = begin + bytes.size();
  out.reserve(out.size() + bytes.size());
  const Byte* p = begin;
  std::size_t replaced = 0;
  while (p < end) {
    // Well-formed stretches are copied in one go.
    const Byte* run = p;
    while (true) {
      p = skip_ascii(p, end);
      if (p == end) break;
      const Step step = decode_step(p, end);
      if (!step.valid) break;
      p += step.length;
    }
    out.append(bytes.data() + (run - begin), static_cast<std::size_t>(p - run));
    if (p == end) break;
    out.append(kReplacement, 3);
    ++replaced;
    p += decode_step(p, end).length;
  }
  return replaced;
}

std::size_t decode_tail_lossy(std::string& text, std::size_t start) {
  const std::string_view tail = std::string_view(text).substr(start);
  const std::size_t good = valid_prefix_length(tail);
  if (good == tail.size()) return 0;
  std::string decoded;
  const std::size_t replaced = append_lossy_utf8(decoded, tail.substr(good));
  text.resize(start + good);
  text += decoded;
  return replaced;
}

Latin1Char latin1_char(unsigned char byte) noexcept {
  Latin1Char c;
  if (byte < 0x80) {
    c.bytes[0] = static_cast<char>(byte);
    c.size = 1;
  } else {
    c.bytes[0] = static_cast<char>(0xC0 | (byte >> 6));
    c.bytes[1] = static_cast<char>(0x80 | (byte & 0x3F));
    c.size = 2;
  }
  return c;
}

}  // namespace csv_mendle
