#include "width_rule.hpp"

#include <new>

#include "memory_limit.hpp"
#include "plain_row.hpp"

namespace csv_mendle {

std::string quarantine_reason(WidthVerdict verdict, std::uint64_t expected) {
  const char* what = verdict == WidthVerdict::TooShort ? "too few columns" : "extra columns";
  return std::string("Row has ") + what + " (expected " + std::to_string(expected) + ")";
}

void apply_width(WidthVerdict verdict, const WidthRule& rule, RowTable& rows,
                 std::string_view separator) {
  if (verdict == WidthVerdict::Pad) {
    rows.pad_open_row(rule.expected);
  } else if (verdict == WidthVerdict::Merge) {
    rows.merge_open_row(rule.expected, separator);
  }
}

PlainResize plain_resize(WidthVerdict verdict, const WidthRule& rule, std::string_view text,
                         std::uint64_t fields, unsigned char delimiter, unsigned char quote) {
  PlainResize resize;
  if (verdict == WidthVerdict::Pad) {
    // An absurd width (an expected column count of 10**12) is refused as the
    // memory failure it is before anything is allocated.
    resize.pad = rule.expected - fields;
    if (resize.pad > physical_memory_bytes()) throw std::bad_alloc();
  } else if (verdict == WidthVerdict::Merge) {
    resize.merges = true;
    // Of the row's fields - 1 delimiters, the (fields - E + 1)-th from the
    // end follows the last field kept whole.
    resize.merged_from = plain_cut_from_end(text, fields - rule.expected + 1, delimiter, quote);
  }
  return resize;
}

}  // namespace csv_mendle
