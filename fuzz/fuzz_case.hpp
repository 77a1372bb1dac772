// The input of the repair harnesses: four option bytes (flags, delimiter,
// quote, column count), then the data, copied into an allocation of exactly
// its size so that AddressSanitizer catches any read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "mendle.hpp"

namespace csv_mendle::fuzzing {

struct FuzzCase {
  RepairOptions options;
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
  const std::size_t length = size - header;
  out.copy.reset(new char[length == 0 ? 1 : length]);
  if (length != 0) std::memcpy(out.copy.get(), bytes + header, length);
  out.data = std::string_view(out.copy.get(), length);
  return true;
}

}  // namespace csv_mendle::fuzzing
