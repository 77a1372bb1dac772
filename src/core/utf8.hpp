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

// Appends the lossy decoding of `bytes` to `out`.
void append_lossy_utf8(std::string& out, std::string_view bytes);

// Replaces the bytes of `text` from `start` on by their lossy decoding, in
// place when they are already valid (the common case costs one validation).
void decode_tail_lossy(std::string& text, std::size_t start);

// Appends the character whose code point equals `byte` (U+0000..U+00FF) in UTF-8.
void append_latin1_char(std::string& out, unsigned char byte);

}  // namespace csv_mendle
