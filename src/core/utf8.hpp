// Lossy UTF-8 decoding: valid sequences are kept, every maximal ill-formed
// subsequence becomes one U+FFFD REPLACEMENT CHARACTER.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace csv_mendle {

// True when every byte is below 0x80.
bool is_ascii(std::string_view bytes) noexcept;

// True when `bytes` is well-formed UTF-8 (no surrogates, no overlongs, at most U+10FFFF).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Appends the lossy decoding of `bytes` to `out`; returns how many
// ill-formed sequences became U+FFFD.
std::size_t append_lossy_utf8(std::string& out, std::string_view bytes);

// Replaces the bytes of `text` from `start` on by their lossy decoding, in
// place when they are already valid (the common case costs one validation);
// returns how many ill-formed sequences became U+FFFD.
std::size_t decode_tail_lossy(std::string& text, std::size_t start);

// The UTF-8 form of the character whose code point equals `byte`
// (U+0000..U+00FF): one byte below 0x80, else two.  Wherever a delimiter or
// quote byte is written out or shown, it is this character.
struct Latin1Char {
  char bytes[2] = {};
  std::size_t size = 0;
  std::string_view view() const noexcept { return {bytes, size}; }
};
Latin1Char latin1_char(unsigned char byte) noexcept;

}  // namespace csv_mendle
