// The two file formats that file repair writes: the clean CSV (one line per
// delivered row, RFC-4180 quoting, LF line ends) and the quarantine CSV
// (line number, reason and raw content of every row set aside).
//
// Each function appends one whole line to a caller's buffer, so one buffer
// can be cleared and reused for every line of a file.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "mendle.hpp"
#include "row_table.hpp"

namespace csv_mendle {

// The first line of every quarantine file, written even when no row was set aside.
inline constexpr std::string_view quarantine_header = "line,reason,raw_content\n";

// The delimiter D and quote Q of the clean CSV.  Each is the character whose
// code point equals its byte (U+0000..U+00FF), so a byte of 0x80 or more is
// written as two UTF-8 bytes.
class OutputDialect {
 public:
  OutputDialect(unsigned char delimiter, unsigned char quote);

  std::string_view delimiter() const noexcept { return {delimiter_.data(), delimiter_size_}; }
  std::string_view quote() const noexcept { return {quote_.data(), quote_size_}; }
  // True when `field` must be quoted: it contains Q, D, LF or CR.
  bool needs_quotes(std::string_view field) const noexcept;

 private:
  std::array<char, 2> delimiter_{};
  std::array<char, 2> quote_{};
  std::size_t delimiter_size_ = 0;
  std::size_t quote_size_ = 0;
  // The bytes whose mere presence forces quoting: LF, CR, and D and Q when
  // they are one byte long.  A two-byte D or Q is searched for as a pair.
  std::array<bool, 256> forces_quotes_{};
};

// Appends the row's fields separated by D, each bare or quoted (Q, the text
// with every Q doubled, Q), then LF.  A row of one empty field is an empty line.
void append_output_line(std::string& out, RowView row, const OutputDialect& dialect);

// Appends the line of a plain row (see skim_row: the row's bytes `text` are
// its written form) of `fields` fields brought to `width` fields: padded
// with empty fields, or with its fields from the width-th on joined by the
// delimiter into one, as append_output_line would write the repaired row.
// The dialect's delimiter and quote are the row's, both single bytes.
void append_resized_plain_line(std::string& out, std::string_view text, std::uint64_t fields,
                               std::uint64_t width, const OutputDialect& dialect);

// Appends «{line},"{reason}","{raw}"» and LF, where raw is the raw fields
// joined by D.  Whatever Q is, the quarantine file quotes with the double
// quote, and only the double quote is doubled.
void append_quarantine_line(std::string& out, const QuarantineRecord& record,
                            const OutputDialect& dialect);

}  // namespace csv_mendle
