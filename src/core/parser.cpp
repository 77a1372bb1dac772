#include "parser.hpp"

#include <algorithm>
#include <cstring>

#include "simd_masks.hpp"
#include "utf8.hpp"

namespace csv_mendle {
namespace {

using Byte = unsigned char;

constexpr Byte CR = '\r';
constexpr Byte LF = '\n';

enum class State {
  Start,       // at the start of a field
  Unquoted,    // inside a field that did not begin with a quote
  Quoted,      // inside a quoted field
  AfterQuote,  // after the quote that closed a quoted field
};

// No escape byte: the value no byte compares equal to.
constexpr int kNoEscape = -1;

// Spaces and tabs are blanks, except a byte equal to the delimiter, which
// always separates, or to the escape, which always escapes.
inline bool is_blank(Byte b, Byte delimiter, int escape) noexcept {
  return (b == ' ' || b == '\t') && b != delimiter && b != escape;
}

inline bool is_line_end(Byte b) noexcept { return b == CR || b == LF; }

// The escape byte the parser honours, or kNoEscape: one equal to the
// delimiter, the quote, CR or LF would make that byte mean two things, and
// is ignored.
int escape_in_force(const ResilientParser& parser) noexcept {
  if (!parser.rules.escape) return kNoEscape;
  const Byte escape = *parser.rules.escape;
  return escape == parser.delimiter || escape == parser.quote || is_line_end(escape) ? kNoEscape
                                                                                     : escape;
}

inline bool ends_field(Byte b, Byte delimiter) noexcept {
  return b == delimiter || b == CR || b == LF;
}

std::uint64_t skip_blanks(const Byte* d, std::uint64_t n, std::uint64_t x, Byte delimiter,
                          int escape) noexcept {
  while (x < n && is_blank(d[x], delimiter, escape)) ++x;
  return x;
}

// Offset of the first delimiter, CR, LF or `also` byte at or after `from`
// (before `n`), or `n`.
std::uint64_t find_stop(const Byte* d, std::uint64_t from, std::uint64_t n, Byte delimiter,
                        Byte also) noexcept {
  const Byte stops[4] = {delimiter, also, CR, LF};
  return first_of_four(d, from, n, stops);
}

// Replaces every field of the open row by its lossy decoding; returns how
// many ill-formed sequences became U+FFFD.
std::uint64_t decode_open_row(RowTable& out) {
  std::vector<std::string> fields;
  fields.reserve(out.open_field_count());
  for (std::size_t i = 0; i < out.open_field_count(); ++i) fields.emplace_back(out.open_field(i));
  out.discard_row();
  out.open_row();
  std::uint64_t replaced = 0;
  for (const std::string& field : fields) {
    replaced += append_lossy_utf8(out.text(), field);
    out.close_field();
  }
  return replaced;
}

// The facts of a row about to be read, before anything is seen.  The kept
// quotes' offsets are meaningful only up to their count, so they stay.
inline void clear_facts(RowFacts& row) noexcept {
  row.line_break = LineBreak::None;
  row.quote_in_unquoted = false;
  row.needless_quotes = false;
  row.unclosed = false;
  row.skipped_blanks = false;
  row.escaped = false;
  row.kept_quotes = 0;
  row.bytes_after_quote = 0;
  row.replaced = 0;
}

// Notes a stray quote kept as text at `at` (an offset in the row).
inline void note_kept_quote(RowFacts& row, std::uint64_t at) noexcept {
  if (row.kept_quotes < RowFacts::kQuotesListed) row.kept_quote_at[row.kept_quotes] = at;
  ++row.kept_quotes;
}

// The stray-quote test for the quote at `p` inside a quoted field, followed by
// at least one byte that is not a quote.  The quote closes its field when what
// follows it, after blanks, is a delimiter, a line end or the end of the
// input.  Otherwise it is a literal quote exactly when a later quote on the
// same line is followed, after blanks, by a delimiter, a line end or the end
// of the input.  An escaped byte is text to the scan: an escaped quote
// never qualifies, and an escaped delimiter closes nothing.
//
// This is the rule's one definition.  The fast paths only recognise quotes
// that plainly need no test and hand every other quote to it:
// - walk_fields (whole-row fast path and skim_with): a quote right before
//   the delimiter or the line end closes without a test; any other inner
//   quote stops the walk;
// - closing_quote_past_kept_quotes: asks this function for every inner
//   quote that is neither doubled nor right before the delimiter or the
//   line end;
// - skim_row's byte loop: accepts a quoted field only when its first inner
//   quote stands right before the delimiter, LF or the end.
bool stray_quote_is_literal(ResilientParser& parser, const Byte* d, std::uint64_t n,
                            std::uint64_t p) noexcept {
  const Byte delimiter = parser.delimiter;
  const Byte quote = parser.quote;
  const int escape = escape_in_force(parser);

  // The first byte behind the quote that is not blank.  A later quote inside
  // the same blank run shares it, so the run is skipped once.
  const std::uint64_t after = p + 1;
  if (!(parser.memo_blank_from <= after && after <= parser.memo_blank_to)) {
    parser.memo_blank_from = after;
    parser.memo_blank_to = skip_blanks(d, n, after, delimiter, escape);
  }
  const std::uint64_t first = parser.memo_blank_to;
  if (first == n || ends_field(d[first], delimiter)) return false;

  // Whether a qualifying quote comes before the line end.  A scan from an
  // earlier start answers for every start up to where it stopped, since no
  // byte before that stop could have stopped it.  (Not for a byte it took
  // as escaped, but no start is one: a start follows a quote that is no
  // escaped byte, and blanks, which are no escape.)
  if (!(parser.memo_scan_from <= first && first <= parser.memo_scan_to)) {
    std::uint64_t k = first;
    bool literal = false;
    while (k < n) {
      const Byte b = d[k];
      if (b == CR || b == LF) break;  // the scan never crosses a line end, escaped or not
      if (b == escape) {
        k += k + 1 < n && !is_line_end(d[k + 1]) ? 2 : 1;
        continue;
      }
      if (b == quote) {
        const std::uint64_t behind = skip_blanks(d, n, k + 1, delimiter, escape);
        if (behind == n || ends_field(d[behind], delimiter)) {
          literal = true;
          break;
        }
        // Everything between is blank, so a quote there (a blank quote byte)
        // reaches the same byte behind its blanks and does not qualify either.
        k = behind;
        continue;
      }
      ++k;
    }
    parser.memo_scan_from = first;
    parser.memo_scan_to = k;
    parser.memo_scan_literal = literal;
  }
  return parser.memo_scan_literal;
}

// What the fast path returns when it has taken the whole row; any other
// value is the offset of the first field it left to the byte-by-byte loop,
// its fields before that being complete in the open row.  One word, so that
// it comes back in a register.
constexpr std::uint64_t kRowDone = UINT64_MAX;

#if defined(CSV_MENDLE_ROW_BLOCKS)
// What walk_fields returns when it has visited every field of the row.
constexpr std::uint64_t kWholeRow = UINT64_MAX;

// The syntax bits of word `k` of `blocks` at or after offset `from`.
inline std::uint64_t syntax_bits_from(const RowBlocks& blocks, std::size_t k,
                                      std::uint64_t from) noexcept {
  return k == from / 64 ? blocks.syntax[k] & (~std::uint64_t{0} << (from % 64)) : blocks.syntax[k];
}

// Visits the fields of the row at `row`, whose syntax bits are in `blocks`,
// in order, as field(first, end, quoted, holds_delimiter) with [first, end)
// the field's text, for as long as each field is either unquoted and free of
// quotes, or quoted and closed by its first inner quote right before the
// delimiter or the line end (no line end inside), and `field` returns true.
// Returns kWholeRow when every field was visited, else the offset of the
// first field that was not: one that takes the byte-by-byte judgement (a
// doubled or stray quote, a quote amid text, a quote that does not close
// before the line end) or that `field` refused.  The walk starts with the
// field at `from`, the row's start or the byte behind a delimiter.
template <class Field>
[[gnu::always_inline]] inline std::uint64_t walk_fields(const Byte* row, const RowBlocks& blocks,
                                                        Byte delimiter, Field&& field,
                                                        std::uint64_t from = 0) {
  const std::uint64_t line_end = blocks.line_end;
  enum { Bare, Quoted, Closed } state = Bare;
  std::uint64_t first = from;    // the current field's first byte
  bool holds_delimiter = false;  // the open quoted field holds the delimiter
  const auto visit = [&](std::uint64_t end) {
    return state == Bare ? field(first, end, false, false)
                         : field(first + 1, end - 1, true, holds_delimiter);
  };
  // Each delimiter or quote, in order, moves the field along.
  for (std::size_t k = from / 64; k < blocks.blocks; ++k) {
    for (std::uint64_t bits = syntax_bits_from(blocks, k, from); bits != 0; bits &= bits - 1) {
      const std::uint64_t at = 64 * k + static_cast<std::uint64_t>(__builtin_ctzll(bits));
      if (row[at] == delimiter) {
        if (state == Quoted) {
          holds_delimiter = true;
          continue;
        }
        if (!visit(at)) return first;
        state = Bare;
        first = at + 1;
      } else if (state == Bare) {
        // A quote opens a field only as its first byte.
        if (at != first) return first;
        state = Quoted;
        holds_delimiter = false;
      } else {
        // The first inner quote must close the field right before the
        // delimiter or the line end.
        const std::uint64_t next = at + 1;
        if (next != line_end && row[next] != delimiter) return first;
        state = Closed;
      }
    }
  }
  if (state == Quoted || !visit(line_end)) return first;
  return kWholeRow;
}

// Where the fast path writes the ends of the fields it copies: room the
// open row made for every field the row can have, so that no end costs a
// check, nor a reload of the table's pointers after each copied field (the
// copy may alias them).  It reaches a function that is not inlined only by
// value, so that it can live in registers.
struct FieldEnds {
  std::uint64_t* at;
  std::size_t count = 0;
};

// Where the fast path stands in a row: the first field not yet taken (or
// kWholeRow), the bytes its fields fill, where their ends go, whether a
// quoted field so far held no delimiter, and how many stray quotes it kept.
struct WalkOn {
  std::uint64_t stop = 0;
  std::uint64_t written = 0;
  FieldEnds ends;
  bool needless_quotes = false;
  unsigned kept = 0;
};

// For the field at `first` of the row at `start`: when it is quoted and
// every inner quote up to one that closes it right before the delimiter or
// the line end (with no line end inside) is a stray quote that the
// stray-quote test keeps as text, at least one of them: the closing quote's
// offset in the row, with the kept quotes counted in `on` and listed in the
// parser's row facts while the list has room.  Else 0.
std::uint64_t closing_quote_past_kept_quotes(ResilientParser& parser, std::uint64_t start,
                                             const RowBlocks& blocks, std::uint64_t first,
                                             WalkOn& on) noexcept {
  const Byte* const d = reinterpret_cast<const Byte*>(parser.data.data());
  const Byte* const row = d + start;
  const Byte quote = parser.quote;
  if (!parser.repair_quotes || row[first] != quote) return 0;
  unsigned kept = 0;
  // The syntax bytes behind the opening quote.
  for (std::size_t k = (first + 1) / 64; k < blocks.blocks; ++k) {
    for (std::uint64_t bits = syntax_bits_from(blocks, k, first + 1); bits != 0;
         bits &= bits - 1) {
      const std::uint64_t at = 64 * k + static_cast<std::uint64_t>(__builtin_ctzll(bits));
      if (row[at] != quote) continue;  // a delimiter inside the quotes is text
      const std::uint64_t next = at + 1;
      if (next == blocks.line_end || row[next] == parser.delimiter) {
        if (kept == 0) return 0;
        on.kept += kept;
        return at;
      }
      const bool kept_here =
          row[next] != quote && stray_quote_is_literal(parser, d, parser.data.size(), start + at);
      if (!kept_here) return 0;
      // Listed ahead of the count: a field that fails later leaves entries
      // past the count, which mean nothing.
      if (on.kept + kept < RowFacts::kQuotesListed) parser.row.kept_quote_at[on.kept + kept] = at;
      ++kept;
    }
  }
  return 0;  // no quote closes it before the line end
}

// Copies a field's `length` bytes at `from` behind the `written` bytes at
// `to` and notes its end.
[[gnu::always_inline]] inline void copy_field(FieldEnds& ends, char* to, std::uint64_t& written,
                                              const Byte* from, std::uint64_t length) {
  copy_with_slack(to + written, from, length);
  written += length;
  ends.at[ends.count++] = written;
}

// The fast path's walk, once it has stopped at a field, taken on past every
// quoted field whose stray quotes are kept as text: such a field is still the
// run of bytes between its outer quotes.  Out of the common walk's way, so
// that rows without stray quotes do not pay for it.
[[gnu::noinline]] WalkOn walk_past_kept_quotes(ResilientParser& parser, std::uint64_t start,
                                               const RowBlocks& blocks, const WalkOn& from,
                                               char* to) {
  WalkOn on = from;
  const Byte* const row = reinterpret_cast<const Byte*>(parser.data.data()) + start;
  for (;;) {
    const std::uint64_t close = closing_quote_past_kept_quotes(parser, start, blocks, on.stop, on);
    if (close == 0) return on;
    copy_field(on.ends, to, on.written, row + on.stop + 1, close - on.stop - 1);
    if (close + 1 == blocks.line_end) {
      on.stop = kWholeRow;
      return on;
    }
    on.stop = walk_fields(
        row, blocks, parser.delimiter,
        [&](std::uint64_t first, std::uint64_t end, bool quoted, bool holds_delimiter) {
          copy_field(on.ends, to, on.written, row + first, end - first);
          on.needless_quotes = on.needless_quotes || (quoted && !holds_delimiter);
          return true;
        },
        close + 2);  // behind the delimiter
    if (on.stop == kWholeRow) return on;
  }
}

// The syntax bits of the row at the parser's position (see scan_row_blocks).
template <BlockMasks (*Masks)(const unsigned char*, unsigned char, unsigned char)>
[[gnu::always_inline]] inline bool scan_next_row(const ResilientParser& parser,
                                                 RowBlocks& blocks) {
  const auto* const row = reinterpret_cast<const Byte*>(parser.data.data()) + parser.position;
  return scan_row_blocks<Masks>(row, parser.data.size() - parser.position, parser.delimiter,
                                parser.quote, blocks);
}

// The fields of the row at the parser's position, copied into the open row
// as far as walk_fields and walk_past_kept_quotes take them; the facts they
// saw go to the parser's row facts.  Returns where the walk stopped.
template <BlockMasks (*Masks)(const unsigned char*, unsigned char, unsigned char)>
[[gnu::always_inline]] inline std::uint64_t copy_walked_fields(ResilientParser& parser,
                                                               const RowBlocks& blocks,
                                                               RowTable& out) {
  const std::uint64_t start = parser.position;
  const Byte* const row = reinterpret_cast<const Byte*>(parser.data.data()) + start;
  const std::uint64_t line_end = blocks.line_end;
  // A field ends at a delimiter or at the line end.
  FieldEnds ends{out.field_end_room(line_end + 1)};
  std::uint64_t written = 0;
  bool needless_quotes = false;
  std::uint64_t stop = 0;
  // The fields are copied into room for the whole row plus the copy's slack.
  out.append_text(line_end + 16, [&](char* to) {
    stop = walk_fields(row, blocks, parser.delimiter, [&](std::uint64_t first, std::uint64_t end,
                                                          bool quoted, bool holds_delimiter) {
      copy_field(ends, to, written, row + first, end - first);
      needless_quotes = needless_quotes || (quoted && !holds_delimiter);
      return true;
    });
    if (stop != kWholeRow) {
      const WalkOn on = walk_past_kept_quotes(
          parser, start, blocks, WalkOn{stop, written, ends, needless_quotes, 0}, to);
      stop = on.stop;
      written = on.written;
      ends = on.ends;
      needless_quotes = on.needless_quotes;
      parser.row.kept_quotes = on.kept;
    }
    return written;
  });
  out.close_fields(ends.count);
  parser.row.needless_quotes = needless_quotes;
  return stop;
}

// The row at once, for the common row: it ends with a line break within the
// first kilobyte, every unquoted field is free of quotes, and every quoted
// field closes at its first inner quote, right before the delimiter or the
// line end, with no line end inside.  Such a row parses exactly as the
// byte-by-byte loop would parse it; the fast path walks its delimiter and
// quote bits and copies each field once.  Where a field needs judgement, the
// fields before it stay done and the loop takes over at that field.
template <BlockMasks (*Masks)(const unsigned char*, unsigned char, unsigned char)>
[[gnu::always_inline]] inline std::uint64_t fast_row_with(ResilientParser& parser, RowTable& out) {
  const std::uint64_t start = parser.position;
  const Byte* const row = reinterpret_cast<const Byte*>(parser.data.data()) + start;
  RowBlocks blocks;
  if (!scan_next_row<Masks>(parser, blocks)) return start;
  const std::uint64_t stop = copy_walked_fields<Masks>(parser, blocks, out);
  // The byte-by-byte loop takes over at the field that needs judgement.
  if (stop != kWholeRow) return start + stop;

  // CR LF is one line break, a lone CR or LF one each; the scan left at
  // least sixteen bytes behind the line end.
  const std::uint64_t line_end = blocks.line_end;
  std::uint64_t after = line_end;
  LineBreak line_break = LineBreak::Lf;
  if (row[after] == CR) {
    ++after;
    line_break = LineBreak::Cr;
  }
  if (row[after] == LF) {
    ++after;
    if (line_break == LineBreak::Cr) line_break = LineBreak::CrLf;
  }
  if (!blocks.ascii && !is_valid_utf8(std::string_view(parser.data.data() + start, after))) {
    out.open_row();  // its fields need lossy decoding
    clear_facts(parser.row);
    return start;
  }
  parser.row.bytes = std::string_view(parser.data.data() + start, line_end);
  parser.row.line_break = line_break;
  parser.position = start + after;
  ++parser.line;
  return kRowDone;
}

[[gnu::noinline]] std::uint64_t fast_row_sse2(ResilientParser& parser, RowTable& out) {
  return fast_row_with<block_masks>(parser, out);
}

#if defined(CSV_MENDLE_ROW_BLOCKS_AVX2)
// The AVX2 entry points are flattened, so that the AVX2 mask helper is
// inlined into the block scan they instantiate (that scan is not itself
// compiled for AVX2).  They may also use BMI1, which every processor with
// AVX2 has.  BM_parser_clean in bench/core_bench.cpp measures both choices.
[[gnu::target("avx2,bmi"), gnu::flatten]] std::uint64_t fast_row_avx2(ResilientParser& parser,
                                                                      RowTable& out) {
  return fast_row_with<block_masks_avx2>(parser, out);
}
#endif

// What the block scan tells of a row for skim_row.
enum class Skim { Plain, NotPlain, Unknown };

// skim_row from the row's syntax bits: the same judgement as its byte loop,
// or Unknown where the scan gives up (long rows, the input's last bytes).
template <BlockMasks (*Masks)(const unsigned char*, unsigned char, unsigned char)>
[[gnu::always_inline]] inline Skim skim_with(const ResilientParser& parser, SkimmedRow& out) {
  const Byte* const d = reinterpret_cast<const Byte*>(parser.data.data());
  const std::uint64_t start = parser.position;
  const Byte* const row = d + start;
  RowBlocks blocks;
  if (!scan_next_row<Masks>(parser, blocks)) return Skim::Unknown;
  const std::uint64_t line_end = blocks.line_end;
  if (row[line_end] == CR) return Skim::NotPlain;  // plain rows end with LF
  std::uint64_t fields = 0;
  bool needless_quotes = false;
  const std::uint64_t stop =
      walk_fields(row, blocks, parser.delimiter,
                  [&](std::uint64_t, std::uint64_t, bool quoted, bool holds_delimiter) {
                    ++fields;
                    needless_quotes = needless_quotes || (quoted && !holds_delimiter);
                    return true;
                  });
  if (stop != kWholeRow) return Skim::NotPlain;
  out.fields = fields;
  out.text = std::string_view(parser.data.data() + start, line_end);
  out.line_break = true;
  out.needless_quotes = needless_quotes;
  out.next = start + line_end + 1;
  return blocks.ascii || is_valid_utf8(out.text) ? Skim::Plain : Skim::NotPlain;
}

Skim skim_sse2(const ResilientParser& parser, SkimmedRow& out) {
  return skim_with<block_masks>(parser, out);
}

#if defined(CSV_MENDLE_ROW_BLOCKS_AVX2)
[[gnu::target("avx2,bmi"), gnu::flatten]] Skim skim_avx2(const ResilientParser& parser,
                                                         SkimmedRow& out) {
  return skim_with<block_masks_avx2>(parser, out);
}

// Asked once, as the library loads: a plain load for every row after that.
const bool kHasAvx2Bmi = [] {
  __builtin_cpu_init();  // it may run before the library's own constructors
  return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi") != 0;
}();
#endif

std::uint64_t fast_row(ResilientParser& parser, RowTable& out) {
#if defined(CSV_MENDLE_ROW_BLOCKS_AVX2)
  if (kHasAvx2Bmi) return fast_row_avx2(parser, out);
#endif
  return fast_row_sse2(parser, out);
}

Skim fast_skim(const ResilientParser& parser, SkimmedRow& out) {
#if defined(CSV_MENDLE_ROW_BLOCKS_AVX2)
  if (kHasAvx2Bmi) return skim_avx2(parser, out);
#endif
  return skim_sse2(parser, out);
}
#else
enum class Skim { Plain, NotPlain, Unknown };
std::uint64_t fast_row(ResilientParser& parser, RowTable&) { return parser.position; }
Skim fast_skim(const ResilientParser&, SkimmedRow&) { return Skim::Unknown; }
#endif

// The fast paths read the row's syntax bytes as distinct ASCII bytes that
// are no line end, and know no field rule; any other dialect takes the
// byte-by-byte loop alone.
bool fast_paths_read(const ResilientParser& parser) noexcept {
  const Byte delimiter = parser.delimiter;
  const Byte quote = parser.quote;
  return delimiter < 0x80 && quote < 0x80 && delimiter != quote && !is_line_end(delimiter) &&
         !is_line_end(quote) && !parser.rules.skip_initial_space && !parser.rules.escape;
}

}  // namespace

std::uint64_t bom_offset(std::string_view data) noexcept {
  return data.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
}

ResilientParser make_parser(std::string_view data, unsigned char delimiter, unsigned char quote,
                            bool repair_quotes, const FieldRules& rules) noexcept {
  ResilientParser parser;
  parser.data = data;
  parser.position = bom_offset(data);
  parser.line = 1;
  parser.repair_quotes = repair_quotes;
  parser.delimiter = delimiter;
  parser.quote = quote;
  parser.rules = rules;
  parser.fast_paths = fast_paths_read(parser);
  return parser;
}

namespace {

// The byte-by-byte loop over one row, from a field start on: the fields
// before it (of the row at parser.position) are complete in the open row
// already, and the facts they gave are in parser.row.
class ByteLoop {
 public:
  ByteLoop(ResilientParser& parser, RowTable& out, std::uint64_t from)
      : parser_(parser),
        out_(out),
        text_(out.text()),
        chars_(parser.data.data()),
        d_(reinterpret_cast<const Byte*>(chars_)),
        n_(parser.data.size()),
        delimiter_(parser.delimiter),
        quote_(parser.quote),
        escape_(escape_in_force(parser)),
        skip_initial_space_(parser.rules.skip_initial_space),
        ascii_syntax_(delimiter_ < 0x80 && quote_ < 0x80 && escape_ < 0x80),
        row_start_(parser.position),
        pos_(from),
        field_start_(text_.size()) {}

  bool run() {
    while (pos_ < n_) {
      bool row_ends = false;
      switch (state_) {
        case State::Start: row_ends = at_field_start(); break;
        case State::Unquoted: row_ends = in_unquoted_field(); break;
        case State::Quoted: in_quoted_field(); break;
        case State::AfterQuote: row_ends = after_closing_quote(); break;
      }
      if (row_ends) return end_row();
    }
    // The input ended: whatever the state, the field buffer is the last
    // field, and an unclosed quoted field has taken in everything up to here.
    if (state_ == State::Quoted) {
      parser_.row.unclosed = true;
      parser_.row.unclosed_at = quote_opened_at_ - row_start_;
    }
    complete_last_field();
    return finish_row(n_);
  }

 private:
  // A field starts: a quote opens a quoted field, the delimiter ends an
  // empty one, and any other byte (a space or tab too) starts the text;
  // with skip_initial_space, blanks behind a delimiter are dropped first.
  bool at_field_start() {
    const Byte c = d_[pos_];
    if (c == quote_) {
      quote_opened_at_ = pos_;
      ++pos_;  // the opening quote is not part of the text
      state_ = State::Quoted;
      quoting_needed_ = false;
    } else if (c == delimiter_) {
      ++pos_;
      complete_field();
    } else if (is_line_end(c)) {
      return true;
    } else if (skip_initial_space_ && pos_ != row_start_ && is_blank(c, delimiter_, escape_)) {
      ++pos_;  // every field start but the row's follows a delimiter
      parser_.row.skipped_blanks = true;
    } else {
      state_ = State::Unquoted;
    }
    return false;
  }

  // The first escape byte in [pos_, stop), or `stop`.
  std::uint64_t escape_before(std::uint64_t stop) const noexcept {
    if (escape_ == kNoEscape) return stop;
    const void* hit = std::memchr(chars_ + pos_, escape_, stop - pos_);
    return hit ? static_cast<std::uint64_t>(static_cast<const char*>(hit) - chars_) : stop;
  }

  // At an escape byte: the byte behind it is text, whatever it is (an LF
  // still counts as a line), and the escape is dropped.  With nothing
  // behind it, the escape is kept as text.  The field goes on unquoted,
  // or quoted if it was.
  void take_escaped() {
    if (state_ != State::Quoted) state_ = State::Unquoted;
    if (pos_ + 1 == n_) {
      text_.push_back(static_cast<char>(d_[pos_++]));
      return;
    }
    const Byte b = d_[pos_ + 1];
    text_.push_back(static_cast<char>(b));
    pos_ += 2;
    parser_.row.escaped = true;
    if (b == LF) ++parser_.line;
    if (b == quote_ || ends_field(b, delimiter_)) quoting_needed_ = true;
  }

  // Quotes, spaces and tabs are ordinary text here.  The scan stops at a
  // quote only until one has been seen, for the row's facts.
  bool in_unquoted_field() {
    const bool seen = parser_.row.quote_in_unquoted;
    const std::uint64_t stop =
        escape_before(find_stop(d_, pos_, n_, delimiter_, seen ? delimiter_ : quote_));
    text_.append(chars_ + pos_, stop - pos_);
    pos_ = stop;
    if (pos_ == n_) return false;
    const Byte b = d_[pos_];
    if (b == escape_) {
      take_escaped();
      return false;
    }
    if (b == delimiter_) {
      ++pos_;
      complete_field();
      state_ = State::Start;
      return false;
    }
    if (is_line_end(b)) return true;
    text_.push_back(static_cast<char>(b));  // a quote amid unquoted text
    ++pos_;
    parser_.row.quote_in_unquoted = true;
    return false;
  }

  // Delimiters, CRs and LFs are text up to the next quote or escape (each
  // LF still counts as a line); that quote is doubled, closing, or judged.
  void in_quoted_field() {
    const void* hit = std::memchr(chars_ + pos_, quote_, n_ - pos_);
    const std::uint64_t stop = escape_before(
        hit ? static_cast<std::uint64_t>(static_cast<const char*>(hit) - chars_) : n_);
    parser_.line += static_cast<std::uint64_t>(std::count(d_ + pos_, d_ + stop, LF));
    if (!quoting_needed_) quoting_needed_ = find_stop(d_, pos_, stop, delimiter_, delimiter_) < stop;
    text_.append(chars_ + pos_, stop - pos_);
    pos_ = stop;
    if (pos_ == n_) return;  // a quote that never closed
    if (d_[pos_] == escape_) {
      take_escaped();  // an escaped quote is text, never a stray quote to judge
    } else if (pos_ + 1 == n_) {
      close_quote();  // a quote that ends the input closes the field
    } else if (d_[pos_ + 1] == quote_) {
      text_.push_back(static_cast<char>(quote_));  // a doubled quote stands for one
      pos_ += 2;
      quoting_needed_ = true;
    } else if (parser_.repair_quotes && stray_quote_is_literal(parser_, d_, n_, pos_)) {
      text_.push_back(static_cast<char>(quote_));
      note_kept_quote(parser_.row, pos_ - row_start_);
      ++pos_;
      quoting_needed_ = true;
    } else {
      close_quote();
    }
  }

  void close_quote() {
    ++pos_;
    state_ = State::AfterQuote;
    if (pos_ < n_ && d_[pos_] != delimiter_ && !is_line_end(d_[pos_])) {
      ++parser_.row.bytes_after_quote;
    }
  }

  // Blanks behind a closing quote are dropped, and text there joins the
  // field (an escape there escapes, as in unquoted text).
  bool after_closing_quote() {
    const Byte c = d_[pos_];
    if (c == delimiter_) {
      ++pos_;
      complete_quoted_field();
      state_ = State::Start;
    } else if (c == escape_) {
      take_escaped();
    } else if (c == ' ' || c == '\t') {
      ++pos_;
    } else if (is_line_end(c)) {
      return true;
    } else {
      text_.push_back(static_cast<char>(c));
      ++pos_;
      state_ = State::Unquoted;
    }
    return false;
  }

  // CR LF is one line break; a lone CR or LF is one each.
  bool end_row() {
    const std::uint64_t text_end = pos_;
    LineBreak line_break = LineBreak::Lf;
    if (d_[pos_] == CR) {
      ++pos_;
      line_break = LineBreak::Cr;
    }
    if (pos_ < n_ && d_[pos_] == LF) {
      ++pos_;
      if (line_break == LineBreak::Cr) line_break = LineBreak::CrLf;
    }
    parser_.row.line_break = line_break;
    ++parser_.line;
    complete_last_field();
    return finish_row(text_end);
  }

  // When the delimiter and the quote are ASCII, a field's bytes are the
  // row's bytes less some ASCII bytes, cut at ASCII bytes: if the row's bytes
  // are valid UTF-8, so is every field, and one check of the row serves them
  // all (finish_row).  Otherwise each field is decoded as it completes.
  void complete_field() {
    if (!ascii_syntax_) parser_.row.replaced += decode_tail_lossy(text_, field_start_);
    out_.close_field();
    field_start_ = text_.size();
  }

  void complete_quoted_field() {
    if (!quoting_needed_) parser_.row.needless_quotes = true;
    complete_field();
  }

  void complete_last_field() {
    if (state_ == State::AfterQuote) {
      complete_quoted_field();
    } else {
      complete_field();
    }
  }

  bool finish_row(std::uint64_t text_end) {
    const std::string_view raw(chars_ + row_start_, pos_ - row_start_);
    if (ascii_syntax_ && !is_valid_utf8(raw)) parser_.row.replaced += decode_open_row(out_);
    parser_.row.bytes = std::string_view(chars_ + row_start_, text_end - row_start_);
    parser_.position = pos_;
    return true;
  }

  ResilientParser& parser_;
  RowTable& out_;
  std::string& text_;  // the field buffer is the tail of the table's text
  const char* const chars_;
  const Byte* const d_;
  const std::uint64_t n_;
  const Byte delimiter_;
  const Byte quote_;
  const int escape_;  // kNoEscape when none
  const bool skip_initial_space_;
  const bool ascii_syntax_;
  const std::uint64_t row_start_;
  std::uint64_t pos_;
  std::size_t field_start_;
  State state_ = State::Start;
  bool quoting_needed_ = false;  // the open quoted field holds Q, D, CR or LF
  std::uint64_t quote_opened_at_ = 0;
};


// Out of next_row's way, so that the common row, which the fast path takes
// whole, pays nothing for the loop's state (BM_parser_clean measures it).
[[gnu::noinline]] bool parse_row_bytes(ResilientParser& parser, RowTable& out,
                                       std::uint64_t from) {
  return ByteLoop(parser, out, from).run();
}

}  // namespace

bool next_row(ResilientParser& parser, RowTable& out) {
  if (parser.position >= parser.data.size()) return false;
  out.open_row();
  clear_facts(parser.row);
  const std::uint64_t from = parser.fast_paths ? fast_row(parser, out) : parser.position;
  if (from == kRowDone) return true;
  // The loop goes on from the field that needs it.
  return parse_row_bytes(parser, out, from);
}

namespace {

// The end of the quoted field whose opening quote is at `p`, when its first
// inner quote closes it right before the delimiter, LF or the end of the
// input and it holds no line end: no stray-quote test can find that quote
// literal.  0 otherwise.  `needless_quotes` is set when it holds no delimiter.
std::uint64_t plain_quoted_field_end(const Byte* d, std::uint64_t n, std::uint64_t p,
                                     Byte delimiter, Byte quote, bool& needless_quotes) noexcept {
  const void* hit = std::memchr(d + p + 1, quote, n - p - 1);
  if (hit == nullptr) return 0;
  const std::uint64_t close = static_cast<std::uint64_t>(static_cast<const Byte*>(hit) - d);
  // The first delimiter or line end inside, then the first line end from it.
  const std::uint64_t stop = find_stop(d, p + 1, close, delimiter, delimiter);
  if (stop == close) {
    needless_quotes = true;
  } else if (find_stop(d, stop, close, LF, LF) < close) {
    return 0;
  }
  const std::uint64_t end = close + 1;
  if (end < n && d[end] != delimiter && d[end] != LF) return 0;
  return end;
}

}  // namespace

bool skim_row(const ResilientParser& parser, SkimmedRow& row) noexcept {
  const Byte* const d = reinterpret_cast<const Byte*>(parser.data.data());
  const std::uint64_t n = parser.data.size();
  const Byte delimiter = parser.delimiter;
  const Byte quote = parser.quote;
  const std::uint64_t start = parser.position;
  if (start >= n || !parser.fast_paths) return false;
  switch (fast_skim(parser, row)) {
    case Skim::Plain: return true;
    case Skim::NotPlain: return false;
    case Skim::Unknown: break;
  }
  std::uint64_t p = start;
  std::uint64_t fields = 1;
  bool needless_quotes = false;
  for (;;) {
    std::uint64_t end;  // where the field ends: at a delimiter, a line end or the end
    if (p < n && d[p] == quote) {
      end = plain_quoted_field_end(d, n, p, delimiter, quote, needless_quotes);
      if (end == 0) return false;
    } else {
      end = find_stop(d, p, n, delimiter, quote);
      if (end < n && (d[end] == quote || d[end] == CR)) return false;
    }
    if (end < n && d[end] == delimiter) {
      ++fields;
      p = end + 1;
      continue;
    }
    row.fields = fields;
    row.text = std::string_view(parser.data.data() + start, end - start);
    row.line_break = end < n;  // then d[end] is LF
    row.needless_quotes = needless_quotes;
    row.next = row.line_break ? end + 1 : n;
    return is_valid_utf8(row.text);
  }
}

bool skip_line(ResilientParser& parser) noexcept {
  const std::uint64_t n = parser.data.size();
  if (parser.position >= n) return false;
  const Byte* const d = reinterpret_cast<const Byte*>(parser.data.data());
  std::uint64_t at = find_stop(d, parser.position, n, LF, LF);  // the first CR or LF
  if (at < n && d[at] == CR) ++at;
  if (at < n && d[at] == LF) ++at;
  parser.position = at;
  ++parser.line;
  return true;
}

void accept_row(ResilientParser& parser, const SkimmedRow& row) noexcept {
  parser.position = row.next;
  if (row.line_break) ++parser.line;
  clear_facts(parser.row);
  parser.row.bytes = row.text;
  parser.row.line_break = row.line_break ? LineBreak::Lf : LineBreak::None;
  parser.row.needless_quotes = row.needless_quotes;
}

std::vector<std::string> next_row_fields(ResilientParser& parser) {
  RowTable table;
  std::vector<std::string> fields;
  if (!next_row(parser, table)) return fields;
  fields.reserve(table.open_field_count());
  for (std::size_t i = 0; i < table.open_field_count(); ++i) {
    fields.emplace_back(table.open_field(i));
  }
  return fields;
}

}  // namespace csv_mendle
