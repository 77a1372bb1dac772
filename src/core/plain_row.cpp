#include "plain_row.hpp"

namespace csv_mendle {

void scan_plain_window(const char* row, std::size_t readable, unsigned char delimiter,
                       unsigned char quote, PlainScan& scan) noexcept {
  const auto* const d = reinterpret_cast<const unsigned char*>(row);
  const unsigned char syntax[] = {delimiter, quote, '\n'};
  const std::size_t available = readable - scan.window;
  const WindowMasks<3> masks = window_masks(d, scan.window, readable, syntax);
  // The row's bytes in the window: up to its first LF, else all of them
  // (none past what may be read, which then ends the row).
  std::uint64_t in_row = ~std::uint64_t{0};
  if (masks.of[2] != 0) {
    const unsigned line_feed = static_cast<unsigned>(std::countr_zero(masks.of[2]));
    scan.end = scan.window + line_feed;
    in_row = (std::uint64_t{1} << line_feed) - 1;
  } else if (available <= kWindowBytes) {
    scan.end = readable;
  }
  std::uint64_t inside = prefix_parity(masks.of[1] & in_row);
  if (scan.quoted) inside = ~inside;
  scan.quoted = (inside >> 63) != 0;
  scan.separators = masks.of[0] & in_row & ~inside;
  // Bytes behind the row's end count too: the note may only err towards
  // non-ASCII, which a field's own check then settles.
  scan.high = scan.high || masks.high;
}

std::size_t count_plain_fields(std::string_view input, std::uint64_t start,
                               unsigned char delimiter, unsigned char quote) noexcept {
  std::size_t count = 0;
  visit_plain_row(input, start, delimiter, quote, [&](std::string_view, bool) {
    ++count;
    return true;
  });
  return count;
}

}  // namespace csv_mendle
