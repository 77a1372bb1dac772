// The width rule: how a row of n fields is brought to the expected width E.
// A row of E fields is kept; a shorter one is padded with empty fields, a
// longer one has its fields from the E-th on merged into one, unless the
// options forbid it, and then the row is set aside with a reason.  E = 0
// means no width check at all.
//
// This is the rule's one home.  Every path of a repair asks `judge_width`,
// and applies the verdict here: `apply_width` to a parsed row,
// `plain_resize` to a plain row written from its bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "row_table.hpp"

namespace csv_mendle {

enum class WidthVerdict : std::uint8_t {
  Keep,      // the row has the expected width, or no width is checked
  Pad,       // too few fields: padded with empty ones
  Merge,     // too many fields: the surplus merged into the last column
  TooShort,  // too few fields, and padding is off: set aside
  TooLong,   // too many fields, and merging is off: set aside
};

struct WidthRule {
  std::uint64_t expected = 0;  // E; 0: no width check
  bool fill_ragged_rows = true;
  bool merge_overflow = true;
};

[[nodiscard]] inline WidthVerdict judge_width(const WidthRule& rule, std::uint64_t fields) noexcept {
  if (rule.expected == 0 || fields == rule.expected) return WidthVerdict::Keep;
  if (fields < rule.expected) {
    return rule.fill_ragged_rows ? WidthVerdict::Pad : WidthVerdict::TooShort;
  }
  return rule.merge_overflow ? WidthVerdict::Merge : WidthVerdict::TooLong;
}

// Whether a row so judged is delivered (kept, padded or merged), and whether
// it is repaired (padded or merged).
[[nodiscard]] inline bool is_delivered(WidthVerdict verdict) noexcept {
  return verdict <= WidthVerdict::Merge;
}
[[nodiscard]] inline bool is_repaired(WidthVerdict verdict) noexcept {
  return verdict == WidthVerdict::Pad || verdict == WidthVerdict::Merge;
}

// "Row has too few columns (expected 3)" or "Row has extra columns
// (expected 3)", for a verdict that sets the row aside.
std::string quarantine_reason(WidthVerdict verdict, std::uint64_t expected);

// Brings the open row of `rows` to the width by a Pad or Merge verdict
// (nothing for the others).  Merged fields are joined with `separator`, the
// delimiter as a character.  Throws std::bad_alloc when padding would need
// more memory than the machine has.
void apply_width(WidthVerdict verdict, const WidthRule& rule, RowTable& rows,
                 std::string_view separator);

// A plain row (see skim_row) brought to the width from its bytes `text`:
// padded by `pad` empty fields, or with its fields from the E-th on merged
// into one that starts at byte `merged_from` (for a merge; the row's own
// quotes around those fields then only enclosed fields, and the merged text
// is the bytes from there on without them).
struct PlainResize {
  bool merges = false;
  std::uint64_t pad = 0;
  std::size_t merged_from = 0;
};
PlainResize plain_resize(WidthVerdict verdict, const WidthRule& rule, std::string_view text,
                         std::uint64_t fields, unsigned char delimiter, unsigned char quote);

}  // namespace csv_mendle
