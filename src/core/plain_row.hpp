// The fields of a plain row, read straight from the input.
//
// A plain row is one that skim_row accepts: every field is either unquoted
// and free of the quote byte, or quoted around text that holds no quote, CR
// or LF, its closing quote followed by the delimiter or the row's end; the
// delimiter and the quote are distinct ASCII bytes that are no line end.  Its
// fields are then exactly what next_row makes of it, found without copying:
// the row ends at its first LF (or the input's end), the delimiters outside
// quotes separate its fields, and a field that starts with a quote loses it
// and the quote that closes it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "simd_masks.hpp"
#include "utf8.hpp"

namespace csv_mendle {

// How far the reading of one row has come.  Offsets count from the row's
// start.
struct PlainScan {
  std::size_t window = 0;        // where the window last read starts
  std::uint64_t separators = 0;  // its delimiters outside quotes not yet passed (bit i: byte window + i)
  std::size_t end = SIZE_MAX;    // where the row ends, once a window has reached it
  bool quoted = false;           // the window after this one starts inside quotes
  bool high = false;             // a byte of 0x80 or more was read (perhaps behind the row)
};

// Reads the 64-byte window at `scan.window` of the row at `row`, of which
// `readable` bytes (at least one) may be read: windows that fit are read
// whole.
void scan_plain_window(const char* row, std::size_t readable, unsigned char delimiter,
                       unsigned char quote, PlainScan& scan) noexcept;

// Calls visit(text, ascii) for each field of the plain row that starts at
// `start` in `input`, in order, until a call returns false: `text` is a view
// into the input, quotes left out, and `ascii` tells whether its bytes are
// all below 0x80.  Returns whether every call returned true.  A row always
// has at least one field: the empty row has one empty field, and a row
// ending in the delimiter ends in an empty field.  For a row that is not
// plain the fields may be any pieces of it, but never reach outside it.
template <class Visit>
bool visit_plain_row(std::string_view input, std::uint64_t start, unsigned char delimiter,
                     unsigned char quote, Visit&& visit) {
  const char* const d = input.data() + start;
  const std::size_t readable = start < input.size() ? input.size() - start : 0;
  PlainScan scan;
  if (readable == 0) {
    scan.end = 0;
  } else {
    scan_plain_window(d, readable, delimiter, quote, scan);
  }
  for (std::size_t next = 0;;) {
    // The field runs from `next` to the next separator, or to the row's end.
    while (scan.separators == 0 && scan.end == SIZE_MAX) {
      scan.window += kWindowBytes;
      scan_plain_window(d, readable, delimiter, quote, scan);
    }
    std::size_t end = scan.end;
    if (scan.separators != 0) {
      end = scan.window + static_cast<std::size_t>(std::countr_zero(scan.separators));
      scan.separators &= scan.separators - 1;
    }
    std::string_view field;
    if (next < end && static_cast<unsigned char>(d[next]) == quote) {
      // Its text lies between the opening quote and the closing one right
      // before the separator.  (In a row that is not plain the field may be
      // too short to hold both.)
      field = std::string_view(d + next + 1, end - next >= 2 ? end - next - 2 : 0);
    } else {
      field = std::string_view(d + next, end - next);
    }
    if (!visit(field, !scan.high || is_ascii(field))) return false;
    if (end == scan.end) return true;
    next = end + 1;
  }
}

// How many fields the plain row that starts at `start` in `input` has.
std::size_t count_plain_fields(std::string_view input, std::uint64_t start,
                               unsigned char delimiter, unsigned char quote) noexcept;

// The offset just behind the `count`-th delimiter outside quotes, counted
// from the end of the plain row `row` (without its line end), or 0 when it
// has fewer.  Nothing outside `row` is read.
std::size_t plain_cut_from_end(std::string_view row, std::uint64_t count, unsigned char delimiter,
                               unsigned char quote) noexcept;

}  // namespace csv_mendle
