// The two file formats that file repair writes: the clean CSV (one line per
// delivered row, RFC-4180 quoting, LF line ends) and the quarantine CSV
// (line number, reason and raw content of every row set aside).  The output
// quoting rule lives here alone, and so does the judgement whether a row's
// own bytes already are its written form.
//
// Each function appends one whole line to a caller's buffer, so one buffer
// can be cleared and reused for every line of a file.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "mendle.hpp"
#include "parser.hpp"
#include "row_table.hpp"
#include "width_rule.hpp"

namespace csv_mendle {

// The first line of every quarantine file, written even when no row was set aside.
inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

// How the clean CSV is written: its delimiter D and quote Q, each the
// character whose code point equals its byte (U+0000..U+00FF), so a byte of
// 0x80 or more is written as two UTF-8 bytes, and its line end.  By default
// D and Q are those the rows were read with, and lines end with LF.
struct OutputStyle {
  bool as_read = true;  // D and Q are the delimiter and quote the rows were read with
  bool crlf = false;    // lines end with CR LF
};

class OutputDialect {
 public:
  OutputDialect(unsigned char delimiter, unsigned char quote, OutputStyle style = {});

  std::string_view delimiter() const noexcept { return delimiter_.view(); }
  std::string_view quote() const noexcept { return quote_.view(); }
  std::string_view line_end() const noexcept { return crlf_ ? "\r\n" : "\n"; }
  // True when `field` must be quoted: it contains Q, D, LF or CR.
  bool needs_quotes(std::string_view field) const noexcept;
  // Whether a row can be written as its own bytes at all: it is written
  // with the delimiter and quote it was read with, both distinct ASCII bytes
  // and no line end, so each is written as the byte it was read as, and
  // lines end with LF as the copied rows do.
  bool copies_rows() const noexcept { return copies_rows_; }

 private:
  Latin1Char delimiter_;
  Latin1Char quote_;
  bool crlf_ = false;
  bool copies_rows_ = false;
  // The bytes whose mere presence forces quoting: LF, CR, and D and Q when
  // they are one byte long.  A two-byte D or Q is searched for as a pair.
  std::array<bool, 256> forces_quotes_{};
};

// How a delivered row that was not padded or merged reaches the output.
enum class RowCopy {
  Bytes,                    // its bytes are its line (LF added)
  BytesDoublingKeptQuotes,  // its bytes with each listed kept quote doubled, then LF
  Rewrite,                  // its line is built from its fields
};

// The one judgement whether a row's own bytes are its written form, from
// what the parser saw of it.  They are when every field was read as it would
// be written: unquoted without a quote, or quoted because it holds Q, D, CR
// or LF (doubled quotes and all), nothing dropped (blanks, escapes), joined
// or replaced, and
// the line ended by LF or the end of the input.  A few stray quotes kept as
// text are mended by doubling them, where the row ends with LF.
RowCopy row_copy(const RowFacts& row, const OutputDialect& dialect) noexcept;

// The same judgement for a plain row (see skim_row): its bytes are its
// written form unless a field is quoted without needing it.
inline bool plain_row_copies(const SkimmedRow& row, const OutputDialect& dialect) noexcept {
  return dialect.copies_rows() && !row.needless_quotes;
}

// Appends the row's fields separated by D, each bare or quoted (Q, the text
// with every Q doubled, Q), then the line end.  A row of one empty field is an empty line.
void append_output_line(std::string& out, RowView row, const OutputDialect& dialect);

// Appends the line of a plain row whose bytes `text` are its written form
// (plain_row_copies), brought to width by `resize`: as append_output_line
// writes the row parsed and then padded or merged.
void append_resized_plain_line(std::string& out, std::string_view text, const PlainResize& resize,
                               const OutputDialect& dialect);

// Appends «{line},"{reason}","{raw}"» and LF, where raw is the raw fields
// joined by D.  Whatever Q is, the quarantine file quotes with the double
// quote, and only the double quote is doubled.
void append_quarantine_line(std::string& out, const QuarantineRecord& record,
                            const OutputDialect& dialect);

}  // namespace csv_mendle
