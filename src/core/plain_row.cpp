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

namespace {

// The bits set in a 16-bit mask.  std::popcount would call into libgcc on
// the baseline x86-64 target, which lacks the popcnt instruction.
constexpr std::uint32_t bits_in_16(std::uint32_t x) noexcept {
  x -= (x >> 1) & 0x5555;
  x = (x & 0x3333) + ((x >> 2) & 0x3333);
  x = (x + (x >> 4)) & 0x0F0F;
  return (x + (x >> 8)) & 0x1F;
}
static_assert(bits_in_16(0) == 0 && bits_in_16(0x8001) == 2 && bits_in_16(0xFFFF) == 16);

}  // namespace

std::size_t plain_cut_from_end(std::string_view row, std::uint64_t count, unsigned char delimiter,
                               unsigned char quote) noexcept {
  if (count == 0) return row.size();
  const auto* const d = reinterpret_cast<const unsigned char*>(row.data());
  std::size_t at = row.size();  // the bytes from `at` on are passed
#if defined(CSV_MENDLE_SIMD)
  // A plain row's quotes enclose whole fields, so a delimiter inside quotes
  // has a quote behind it: while the bytes passed hold no quote, every
  // delimiter among them is outside quotes, and sixteen are judged at once.
  const __m128i delimiters = _mm_set1_epi8(static_cast<char>(delimiter));
  const __m128i quotes = _mm_set1_epi8(static_cast<char>(quote));
  while (at >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at - 16));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(block, quotes)) != 0) break;
    auto hits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, delimiters)));
    const std::uint64_t found = bits_in_16(hits);
    if (found < count) {
      count -= found;
      at -= 16;
      continue;
    }
    // The count-th hit from the block's end, after dropping the later ones.
    for (; count > 1; --count) hits &= ~(std::uint32_t{1} << (31 - std::countl_zero(hits)));
    return at - 16 + static_cast<std::size_t>(31 - std::countl_zero(hits)) + 1;
  }
#endif
  // Byte by byte, from a point outside quotes (no quote lies behind it).
  bool quoted = false;
  for (; at > 0; --at) {
    const unsigned char c = d[at - 1];
    if (c == quote) {
      quoted = !quoted;
    } else if (c == delimiter && !quoted && --count == 0) {
      break;
    }
  }
  return at;
}

}  // namespace csv_mendle
