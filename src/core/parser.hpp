// The tolerant row parser: splits an in-memory CSV buffer into rows of text
// fields, one row per call of `next_row`, and never rejects input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "row_table.hpp"

namespace csv_mendle {

// Where parsing starts: past a leading UTF-8 byte-order mark (EF BB BF) when
// the buffer is at least 3 bytes long and begins with one, else at 0.
std::uint64_t bom_offset(std::string_view data) noexcept;

struct ResilientParser {
  std::string_view data;       // the whole input; not owned, must outlive the parser
  std::uint64_t position = 0;  // offset of the next byte to read; only moves forward
  std::uint64_t line = 1;      // line counter (see next_row)
  bool repair_quotes = true;   // apply the stray-quote test inside quoted fields
  unsigned char delimiter = ',';
  unsigned char quote = '"';

  // Memo of the stray-quote test, kept so that a line full of stray quotes
  // costs linear time: the offset of the next quote at or after `memo_from`
  // on the current line that is followed, after blanks, by a delimiter, a
  // line end or the end of the input (or the line end / input end if there
  // is none).  Internal to next_row.
  std::uint64_t memo_from = UINT64_MAX;
  std::uint64_t memo_result = 0;
  bool memo_found = false;
};

// Builds a parser over `data` starting at the byte-order-mark offset, line 1.
ResilientParser make_parser(std::string_view data, unsigned char delimiter, unsigned char quote,
                            bool repair_quotes) noexcept;

// Reads the next row into a new open row of `out` (its fields decoded as lossy
// UTF-8) and returns true; the caller commits or discards it.  Returns false,
// adding nothing, when `position` is already at the end of the data.
//
// `line` is raised by one for every row-ending line break (CR LF counts once)
// and for every LF inside a quoted field; a CR inside a quoted field does not
// count, and the end of the input changes nothing.
bool next_row(ResilientParser& parser, RowTable& out);

// Convenience for tests and tools: the next row as a list of strings, or an
// empty vector at the end (a row always has at least one field).
std::vector<std::string> next_row_fields(ResilientParser& parser);

}  // namespace csv_mendle
