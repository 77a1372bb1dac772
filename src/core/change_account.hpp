// The account of what a repair changed, kind by kind: how many rows each
// kind touched and the first line where it happened (the line on which the
// row starts, counted from 1).  It is kept in the same pass that repairs,
// from the parser's facts about each row and the width rule's verdict.
#pragma once

#include <cstdint>
#include <string_view>

#include "parser.hpp"
#include "width_rule.hpp"

namespace csv_mendle {

struct ChangeCount {
  std::uint64_t rows = 0;
  std::uint64_t first_line = 0;  // meaningful when rows > 0

  void note(std::uint64_t line) noexcept {
    if (rows++ == 0) first_line = line;
  }
  bool operator==(const ChangeCount&) const = default;
};

struct ChangeAccount {
  // Rows whose quotes were resolved so that their text changed: stray
  // quotes kept as text, or closing quotes with text or blanks behind them.
  ChangeCount quotes_repaired;
  ChangeCount padded;
  ChangeCount merged;
  ChangeCount quarantined_short;
  ChangeCount quarantined_long;
  ChangeCount blank_lines;   // blank lines delivered as rows
  ChangeCount invalid_utf8;  // rows with bytes that were not UTF-8
  std::uint64_t invalid_sequences = 0;  // of those, the sequences that became U+FFFD
  // A quote left open at the end of the input: `first_line` is the line it
  // opened on, and `absorbed_lines` the line breaks it took in.
  ChangeCount unclosed_quote;
  std::uint64_t absorbed_lines = 0;
  bool bom_removed = false;
  // Lines dropped before the table: the skip_rows lines, and blank lines
  // before a header.
  ChangeCount skipped_lines;
  ChangeCount comment_lines;  // lines dropped for starting with the comment byte

  // Notes a parsed row that starts on `first_line` and was judged `verdict`.
  void note_row(const RowFacts& row, WidthVerdict verdict, std::uint64_t first_line) noexcept {
    note_width(verdict, first_line, row.bytes.empty());
    if (row.kept_quotes > 0 || row.bytes_after_quote > 0) quotes_repaired.note(first_line);
    if (row.replaced > 0) {
      invalid_utf8.note(first_line);
      invalid_sequences += row.replaced;
    }
    if (row.unclosed) note_unclosed(row, first_line);
  }

  // Notes a row judged by its width alone (a plain row: its fields are its
  // bytes); `blank` when it is an empty line.
  void note_width(WidthVerdict verdict, std::uint64_t first_line, bool blank) noexcept {
    switch (verdict) {
      case WidthVerdict::Keep: break;
      case WidthVerdict::Pad: padded.note(first_line); break;
      case WidthVerdict::Merge: merged.note(first_line); break;
      case WidthVerdict::TooShort: quarantined_short.note(first_line); return;
      case WidthVerdict::TooLong: quarantined_long.note(first_line); return;
    }
    if (blank) blank_lines.note(first_line);
  }

  bool operator==(const ChangeAccount&) const = default;

 private:
  void note_unclosed(const RowFacts& row, std::uint64_t first_line) noexcept;
};

}  // namespace csv_mendle
