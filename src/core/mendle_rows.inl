// The row loop of a repair; included by mendle.hpp.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "utf8.hpp"

namespace csv_mendle {

namespace detail {

// "Row has too few columns (expected 3)" and its kin.
std::string reason_text(const char* what, std::uint64_t expected);

// Moves the open row out of the table into a quarantine record.
QuarantineRecord take_open_row(RowTable& rows, const char* what, std::uint64_t expected,
                               std::uint64_t line);

}  // namespace detail

template <class Deliver, class Quarantine, class DeliverPlain>
void repair_rows(std::string_view input, const RepairOptions& options, const Dialect& dialect,
                 RowTable& rows, RepairCounts& counts, Deliver&& deliver,
                 Quarantine&& quarantine, DeliverPlain&& deliver_plain) {
  constexpr bool skims = !std::is_same_v<std::decay_t<DeliverPlain>, std::nullptr_t>;
  constexpr bool resizes_plain =
      std::is_invocable_v<DeliverPlain&, std::string_view, std::uint64_t>;
  if (input.empty()) return;
  const std::uint64_t expected = dialect.expected_columns;
  // Surplus fields are joined with the delimiter as a character, so a byte of
  // 0x80 or more joins as its two-byte UTF-8 form.
  std::string separator;
  append_latin1_char(separator, dialect.delimiter);

  ResilientParser parser =
      make_parser(input, dialect.delimiter, options.quote_char, options.repair_quotes);
  // Skimming pays only where rows are plain.  After a run of rows that are
  // not (an input with CR LF line ends has none), the next rows are parsed
  // without a look, so that such input costs little more than parsing.
  constexpr unsigned kMissesBeforePause = 8;
  constexpr unsigned kPausedRows = 256;
  unsigned misses = 0;  // skims in a row that delivered nothing
  unsigned paused = 0;  // rows still to parse without skimming
  for (;;) {
    if constexpr (skims) {
      if (paused > 0) {
        --paused;
      } else {
        // A plain row of the right width needs no fields: its bytes are its
        // output.  So, for a caller that asks, are those of a plain row that
        // is padded or merged.
        SkimmedRow plain;
        if (skim_row(parser, plain)) {
          const bool fits = expected == 0 || plain.fields == expected;
          const bool resized =
              !fits && resizes_plain &&
              (plain.fields < expected ? options.fill_ragged_rows : options.merge_overflow);
          if (fits || resized) {
            misses = 0;
            accept_row(parser, plain);
            ++counts.total_rows;
            ++counts.mendled_rows;
            if (resized) ++counts.repaired_rows;
            bool go_on;
            if constexpr (resizes_plain) {
              go_on = deliver_plain(plain.text, plain.fields);
            } else {
              go_on = deliver_plain(plain.text);
            }
            if (!go_on) return;
            continue;
          }
        }
        if (++misses == kMissesBeforePause) {
          misses = 0;
          paused = kPausedRows;
        }
      }
    }
    if (!next_row(parser, rows)) break;
    ++counts.total_rows;
    const std::uint64_t n = rows.open_field_count();
    const char* refused = nullptr;  // why the row is set aside, if it is
    bool repaired = false;
    if (expected == 0 || n == expected) {
    } else if (n < expected) {
      if (options.fill_ragged_rows) {
        rows.pad_open_row(expected);
        repaired = true;
      } else {
        refused = "too few columns";
      }
    } else if (options.merge_overflow) {
      rows.merge_open_row(expected, separator);
      repaired = true;
    } else {
      refused = "extra columns";
    }
    if (refused) {
      ++counts.quarantined_rows;
      quarantine(detail::take_open_row(rows, refused, expected, parser.line));
    } else {
      ++counts.mendled_rows;
      if (repaired) ++counts.repaired_rows;
      if (!deliver(rows, parser, repaired)) return;
    }
  }
}

}  // namespace csv_mendle
