// The tolerant row parser: splits an in-memory CSV buffer into rows of text
// fields, one row per call of `next_row`, and never rejects input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "row_table.hpp"

namespace csv_mendle {

// The UTF-8 byte-order mark.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Where parsing starts: past a leading UTF-8 byte-order mark (EF BB BF) when
// the buffer is at least 3 bytes long and begins with one, else at 0.
std::uint64_t bom_offset(std::string_view data) noexcept;

// How a row ended.
enum class LineBreak : std::uint8_t { None, Lf, Cr, CrLf };

// Facts about one parsed row, for whoever needs to know how its fields
// relate to its bytes (a writer that can copy rows, an account of what a
// repair changed).  The parser states what it saw and judges nothing.
//
// When no count below is above zero and no flag is set, the row's fields
// are its bytes cut at the delimiters, every quoted field without its
// enclosing quotes and with each doubled quote standing for one.
struct RowFacts {
  std::string_view bytes;  // the row's bytes, without its line break
  // The facts below start cleared for every row; they lie together so that
  // clearing them is a few wide stores (BM_parser_clean measures it).
  LineBreak line_break = LineBreak::None;
  bool quote_in_unquoted = false;  // a quote stood amid an unquoted field
  // A quoted field holds none of the delimiter, the quote, CR and LF: its
  // quotes were not needed to read it.
  bool needless_quotes = false;
  bool unclosed = false;  // a quoted field ran to the end of the input
  // Stray quotes inside quoted fields that the stray-quote test kept as
  // text; the first kQuotesListed of them are listed by their offset in
  // `bytes`.
  std::uint32_t kept_quotes = 0;
  // Closing quotes with blanks (dropped) or text (joined to the field)
  // behind them instead of the delimiter or the line end.
  std::uint64_t bytes_after_quote = 0;
  // Ill-formed UTF-8 sequences that became U+FFFD.
  std::uint64_t replaced = 0;
  static constexpr unsigned kQuotesListed = 4;
  std::uint64_t kept_quote_at[kQuotesListed] = {};
  // Where in `bytes` the quote opened that never closed, when `unclosed`.
  std::uint64_t unclosed_at = 0;
  // What the field rules changed; cleared for every row like the facts
  // above, but kept out of their block, which stays two wide stores.
  bool skipped_blanks = false;  // blanks behind a delimiter were dropped
  bool escaped = false;         // an escape byte was dropped, the byte behind it taken as text
};

// How fields read beyond the delimiter and the quote; both off by default.
struct FieldRules {
  // Spaces and tabs right after a delimiter are no part of the field, so a
  // quote behind them opens a quoted field.  Those at the start of a row stay.
  bool skip_initial_space = false;
  // The escape byte is dropped and the byte behind it is text, whatever it
  // is, inside quotes and out; an escape that ends the input stays as
  // itself.  An escape equal to the delimiter, the quote, CR or LF would
  // make those bytes mean two things, so it is ignored.
  std::optional<unsigned char> escape;
};

struct ResilientParser {
  std::string_view data;       // the whole input; not owned, must outlive the parser
  std::uint64_t position = 0;  // offset of the next byte to read; only moves forward
  std::uint64_t line = 1;      // line counter (see next_row)
  bool repair_quotes = true;   // apply the stray-quote test inside quoted fields
  unsigned char delimiter = ',';
  unsigned char quote = '"';
  FieldRules rules;  // under either rule, the byte-by-byte loop reads every row

  // Memo of the stray-quote test, so that a line full of stray quotes costs
  // linear time.  Internal to next_row: each entry is a fact about `data`
  // under this delimiter, quote and escape, and since the offsets asked
  // about only grow, every byte of a line is looked at a bounded number of
  // times.
  //
  // Blank run: for every offset x in [memo_blank_from, memo_blank_to], the
  // first byte at or after x that is not a space or tab (a byte equal to the
  // delimiter or the escape counts as not blank) is at memo_blank_to (the
  // data size if none is).
  std::uint64_t memo_blank_from = UINT64_MAX;
  std::uint64_t memo_blank_to = 0;
  // Line scan: for every offset x in [memo_scan_from, memo_scan_to], the
  // first byte at or after x that is CR, LF or a quote followed, after
  // blanks, by the delimiter, CR, LF or the end of the input lies at
  // memo_scan_to (the data size if none does); memo_scan_literal tells
  // whether it is such a quote, which makes an earlier stray quote literal.
  std::uint64_t memo_scan_from = UINT64_MAX;
  std::uint64_t memo_scan_to = 0;
  bool memo_scan_literal = false;
  // Whether the fast paths can read rows under this dialect and these
  // rules, judged once by make_parser.  A parser built field by field keeps
  // false: every row then takes the byte-by-byte loop, which reads any
  // dialect.
  bool fast_paths = false;

  // What next_row saw of the row it returned last (see RowFacts).
  RowFacts row;
};

// Builds a parser over `data` starting at the byte-order-mark offset, line 1.
ResilientParser make_parser(std::string_view data, unsigned char delimiter, unsigned char quote,
                            bool repair_quotes, const FieldRules& rules = {}) noexcept;

// Reads the next row into a new open row of `out` (its fields decoded as lossy
// UTF-8) and returns true; the caller commits or discards it.  Returns false,
// adding nothing, when `position` is already at the end of the data.
//
// `line` is raised by one for every row-ending line break (CR LF counts once)
// and for every LF inside a quoted field; a CR inside a quoted field does not
// count, and the end of the input changes nothing.
bool next_row(ResilientParser& parser, RowTable& out);

// A quick look at the next row for callers that need only its width and its
// bytes.  When the row is plain — every field either unquoted without a
// quote, or quoted around text that holds no quote, CR or LF, with the
// delimiter, LF or the end right behind its closing quote — and its bytes
// are valid UTF-8 with an ASCII delimiter and quote that differ and are no
// line end, and no field rule is on, `skim_row` returns true with its field
// count and bytes: its fields are those bytes cut at the delimiters outside
// quotes, each quoted field without its quotes, exactly as `next_row` would
// make them.
// `accept_row` then moves past it as `next_row` would.  For any other row it
// returns false and nothing moves.
struct SkimmedRow {
  std::uint64_t fields = 0;
  std::string_view text;         // the row's bytes, without its line break
  std::uint64_t next = 0;        // offset just past the row and its line break
  bool line_break = false;       // whether the row ended with a line break (an LF)
  bool needless_quotes = false;  // as in RowFacts: a quoted field holds no delimiter
};
bool skim_row(const ResilientParser& parser, SkimmedRow& row) noexcept;
void accept_row(ResilientParser& parser, const SkimmedRow& row) noexcept;

// Moves past the physical line at the parser's position, its line break (CR
// LF, a lone CR or a lone LF) included, and counts it; at the end of the
// data it does nothing and returns false.
bool skip_line(ResilientParser& parser) noexcept;

// A line that starts with the `comment` byte is no row: when the parser
// stands at one, skips it and returns true.
inline bool skip_comment_line(ResilientParser& parser, std::optional<unsigned char> comment) noexcept {
  if (!comment || parser.position >= parser.data.size() ||
      static_cast<unsigned char>(parser.data[parser.position]) != *comment) {
    return false;
  }
  return skip_line(parser);
}

// Convenience for tests and tools: the next row as a list of strings, or an
// empty vector at the end (a row always has at least one field).
std::vector<std::string> next_row_fields(ResilientParser& parser);

}  // namespace csv_mendle
