// The input of the repair harnesses: four option bytes (flags, delimiter,
// quote, column count and escape choice), then the data, copied into an
// allocation of exactly its size so that AddressSanitizer catches any read
// past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "mendle.hpp"

namespace csv_mendle::fuzzing {

// An escape byte chosen by `pick`: the backslash half the time, else a byte
// that is the delimiter, the quote, a blank, a line end (all of which the
// parser must survive) or no ASCII.
inline unsigned char pick_escape(unsigned pick, unsigned char delimiter, unsigned char quote) {
  const unsigned char others[] = {delimiter, quote, ' ', '\t', '\n', 0xC3, 0xA9, 'a'};
  return pick % 16 < 8 ? '\\' : others[pick % 8];
}

// Each input is checked with `options`, which hold no field rules (as the
// corpus inputs found before those rules were), and, when the flags choose
// field rules, once more with them as `with_rules`.  The two flags that
// choose them also choose the header and the quote sniff, in both.
struct FuzzCase {
  RepairOptions options;
  std::optional<RepairOptions> with_rules;
  std::unique_ptr<char[]> copy;
  std::string_view data;
};

// False when the input is too short to hold the option bytes.
inline bool decode_case(const std::uint8_t* bytes, std::size_t size, FuzzCase& out) {
  constexpr std::size_t header = 4;
  if (size < header) return false;
  const std::uint8_t flags = bytes[0];
  if (flags & 1) out.options.delimiter = bytes[1];
  if (flags & 2) out.options.quote_char = bytes[2];
  out.options.fill_ragged_rows = (flags & 4) != 0;
  out.options.merge_overflow = (flags & 8) != 0;
  out.options.repair_quotes = (flags & 16) != 0;
  if (flags & 32) out.options.expected_columns = bytes[3] % 16;
  out.options.header = (flags & 64) != 0;
  out.options.sniff_quote = (flags & 128) != 0;
  if (flags & (64 | 128)) {
    out.with_rules = out.options;
    out.with_rules->skip_initial_space = (flags & 64) != 0;
    if (flags & 128) out.with_rules->escape = pick_escape(bytes[3] >> 4, bytes[1], bytes[2]);
  }
  const std::size_t length = size - header;
  out.copy.reset(new char[length == 0 ? 1 : length]);
  if (length != 0) std::memcpy(out.copy.get(), bytes + header, length);
  out.data = std::string_view(out.copy.get(), length);
  return true;
}

}  // namespace csv_mendle::fuzzing
