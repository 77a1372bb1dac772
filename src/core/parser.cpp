#include "parser.hpp"

#include <algorithm>
#include <cstring>

#include "byte_blocks.hpp"
#include "row_blocks.hpp"
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

// Spaces and tabs are blanks, except a byte equal to the delimiter, which
// always separates.
inline bool is_blank(Byte b, Byte delimiter) noexcept {
  return (b == ' ' || b == '\t') && b != delimiter;
}

inline bool is_line_end(Byte b) noexcept { return b == CR || b == LF; }

inline bool ends_field(Byte b, Byte delimiter) noexcept {
  return b == delimiter || b == CR || b == LF;
}

std::uint64_t skip_blanks(const Byte* d, std::uint64_t n, std::uint64_t x,
                          Byte delimiter) noexcept {
  while (x < n && is_blank(d[x], delimiter)) ++x;
  return x;
}

// Offset of the first delimiter, CR, LF or `also` byte at or after `from`
// (before `n`), or `n`.
std::uint64_t find_stop(const Byte* d, std::uint64_t from, std::uint64_t n, Byte delimiter,
                        Byte also) noexcept {
  const Byte stops[4] = {delimiter, also, CR, LF};
  return first_of_four(d, from, n, stops);
}

// Replaces every field of the open row by its lossy decoding.
void decode_open_row(RowTable& out) {
  std::vector<std::string> fields;
  fields.reserve(out.open_field_count());
  for (std::size_t i = 0; i < out.open_field_count(); ++i) fields.emplace_back(out.open_field(i));
  out.discard_row();
  out.open_row();
  for (const std::string& field : fields) {
    append_lossy_utf8(out.text(), field);
    out.close_field();
  }
}

// The stray-quote test for the quote at `p` inside a quoted field, followed by
// at least one byte that is not a quote.  The quote closes its field when what
// follows it, after blanks, is a delimiter, a line end or the end of the
// input.  Otherwise it is a literal quote exactly when a later quote on the
// same line is followed, after blanks, by a delimiter, a line end or the end
// of the input.
bool stray_quote_is_literal(ResilientParser& parser, const Byte* d, std::uint64_t n,
                            std::uint64_t p) noexcept {
  const Byte delimiter = parser.delimiter;
  const Byte quote = parser.quote;

  // The first byte behind the quote that is not blank.  A later quote inside
  // the same blank run shares it, so the run is skipped once.
  const std::uint64_t after = p + 1;
  if (!(parser.memo_blank_from <= after && after <= parser.memo_blank_to)) {
    parser.memo_blank_from = after;
    parser.memo_blank_to = skip_blanks(d, n, after, delimiter);
  }
  const std::uint64_t first = parser.memo_blank_to;
  if (first == n || ends_field(d[first], delimiter)) return false;

  // Whether a qualifying quote comes before the line end.  A scan from an
  // earlier start answers for every start up to where it stopped, since no
  // byte before that stop could have stopped it.
  if (!(parser.memo_scan_from <= first && first <= parser.memo_scan_to)) {
    std::uint64_t k = first;
    bool literal = false;
    while (k < n) {
      const Byte b = d[k];
      if (b == CR || b == LF) break;  // the scan never crosses a line end
      if (b == quote) {
        const std::uint64_t behind = skip_blanks(d, n, k + 1, delimiter);
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

// How far the fast path took a row: all of it, or its fields before
// `resume` (the first byte of the field that needs the byte-by-byte loop),
// which it has completed in the open row, with `verbatim` telling whether
// they can be written back as their own bytes.  Sixteen bytes, so that it
// comes back in registers; the flags fill their word, since GCC assembles a
// word with padding bytes through memory, where reading it back whole
// right after the stores stalls.
struct FastRow {
  std::uint64_t resume = 0;
  std::uint32_t done = false;
  std::uint32_t verbatim = true;
};

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
// compiler must assume the copy may have overwritten them).  It reaches a
// function that is not inlined only by value, so that it can live in
// registers.
struct FieldEnds {
  std::uint64_t* at;
  std::size_t count = 0;
};

// Where the fast path stands in a row: the first field not yet taken (or
// kWholeRow), the bytes its fields fill, where their ends go, whether they
// are written back as their own bytes (kept quotes aside), and how many stray
// quotes it kept.
struct WalkOn {
  std::uint64_t stop = 0;
  std::uint64_t written = 0;
  FieldEnds ends;
  bool verbatim = true;
  unsigned kept = 0;
};

// For the field at `first` of the row at `start`: when it is quoted and
// every inner quote up to one that closes it right before the delimiter or
// the line end (with no line end inside) is a stray quote that the
// stray-quote test keeps as text, at least one of them: the closing quote's
// offset in the row, with the kept quotes counted in `on` and listed in the
// parser while the list has room.  Else 0.
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
      if (on.kept + kept < ResilientParser::kKeptQuotesListed) {
        parser.row_kept_quote_at[on.kept + kept] = static_cast<std::uint32_t>(at);
      }
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
// that rows without stray quotes do not pay for it.  A kept quote clears the
// verbatim note it returns; when the whole row is taken and would otherwise
// be verbatim, the parser lists the kept quotes instead.
[[gnu::noinline]] WalkOn walk_past_kept_quotes(ResilientParser& parser, std::uint64_t start,
                                               const RowBlocks& blocks, const WalkOn& from,
                                               char* to) {
  WalkOn on = from;
  const Byte* const row = reinterpret_cast<const Byte*>(parser.data.data()) + start;
  const auto whole_row = [&] {
    on.stop = kWholeRow;
    // Written back, each kept quote is doubled, and a CR LF loses its CR.
    const bool listed = on.verbatim && row[blocks.line_end] != CR &&
                        on.kept <= ResilientParser::kKeptQuotesListed;
    parser.row_kept_quotes = listed ? on.kept : 0;
    on.verbatim = on.verbatim && on.kept == 0;
    return on;
  };
  for (;;) {
    const std::uint64_t close = closing_quote_past_kept_quotes(parser, start, blocks, on.stop, on);
    if (close == 0) {
      on.verbatim = on.verbatim && on.kept == 0;
      return on;
    }
    copy_field(on.ends, to, on.written, row + on.stop + 1, close - on.stop - 1);
    if (close + 1 == blocks.line_end) return whole_row();
    on.stop = walk_fields(
        row, blocks, parser.delimiter,
        [&](std::uint64_t first, std::uint64_t end, bool quoted, bool holds_delimiter) {
          copy_field(on.ends, to, on.written, row + first, end - first);
          on.verbatim = on.verbatim && (!quoted || holds_delimiter);
          return true;
        },
        close + 2);  // behind the delimiter
    if (on.stop == kWholeRow) return whole_row();
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

// The row at once, for the common row: it ends with a line break within the
// first kilobyte, every unquoted field is free of quotes, and every quoted
// field closes at its first inner quote, right before the delimiter or the
// line end, with no line end inside.  Such a row parses exactly as the
// byte-by-byte loop would parse it; the fast path walks its delimiter and
// quote bits and copies each field once.  Where a field needs judgement, the
// fields before it stay done and the loop takes over at that field.
template <BlockMasks (*Masks)(const unsigned char*, unsigned char, unsigned char)>
[[gnu::always_inline]] inline FastRow fast_row_with(ResilientParser& parser, RowTable& out) {
  const Byte* const d = reinterpret_cast<const Byte*>(parser.data.data());
  const std::uint64_t start = parser.position;
  const Byte delimiter = parser.delimiter;
  const Byte* const row = d + start;
  RowBlocks blocks;
  if (!scan_next_row<Masks>(parser, blocks)) return FastRow{start, false, true};
  const std::uint64_t line_end = blocks.line_end;

  // A field ends at a delimiter or at the line end.
  FieldEnds ends{out.field_end_room(line_end + 1)};
  std::uint64_t written = 0;
  bool verbatim = true;
  std::uint64_t stop = 0;
  // The fields are copied into room for the whole row plus the copy's slack.
  out.append_text(line_end + 16, [&](char* to) {
    stop = walk_fields(row, blocks, delimiter, [&](std::uint64_t first, std::uint64_t end,
                                                   bool quoted, bool holds_delimiter) {
      copy_field(ends, to, written, row + first, end - first);
      // A writer quotes a field again only if it holds the delimiter.
      verbatim = verbatim && (!quoted || holds_delimiter);
      return true;
    });
    if (stop != kWholeRow) {
      const WalkOn on =
          walk_past_kept_quotes(parser, start, blocks, WalkOn{stop, written, ends, verbatim, 0}, to);
      stop = on.stop;
      written = on.written;
      ends = on.ends;
      verbatim = on.verbatim;
    }
    return written;
  });
  out.close_fields(ends.count);
  if (stop != kWholeRow) {
    // The byte-by-byte loop takes over at the field that needs judgement.
    return FastRow{start + stop, false, verbatim};
  }

  // CR LF is one line break, a lone CR or LF one each; the scan left at
  // least sixteen bytes behind the line end.
  std::uint64_t after = line_end;
  if (row[after] == CR) {
    ++after;
    verbatim = false;
  }
  if (row[after] == LF) ++after;
  if (!blocks.ascii && !is_valid_utf8(std::string_view(parser.data.data() + start, after))) {
    out.open_row();  // its fields need lossy decoding
    parser.row_kept_quotes = 0;
    return FastRow{start, false, true};
  }
  parser.row_text = std::string_view(parser.data.data() + start, line_end);
  parser.row_verbatim = verbatim;
  parser.position = start + after;
  ++parser.line;
  return FastRow{0, true, verbatim};
}

FastRow fast_row_sse2(ResilientParser& parser, RowTable& out) {
  return fast_row_with<block_masks>(parser, out);
}

#if defined(CSV_MENDLE_ROW_BLOCKS_AVX2)
// The AVX2 entry points are flattened: the block scan they instantiate is
// not itself compiled for AVX2, so the compiler would not inline the AVX2
// mask helper into it, and every 64 bytes would cost a call and a round trip
// of the masks through memory.  They may also use BMI1, which every
// processor with AVX2 has: clearing the lowest bit of a word of syntax bits
// is then one instruction.
[[gnu::target("avx2,bmi"), gnu::flatten]] FastRow fast_row_avx2(ResilientParser& parser, RowTable& out) {
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
  const Byte delimiter = parser.delimiter;
  const Byte* const row = d + start;
  RowBlocks blocks;
  if (!scan_next_row<Masks>(parser, blocks)) return Skim::Unknown;
  const std::uint64_t line_end = blocks.line_end;
  if (row[line_end] == CR) return Skim::NotPlain;  // written back, the line ends with LF alone
  // A quoted field that holds no delimiter is written back bare.
  std::uint64_t fields = 0;
  const std::uint64_t stop = walk_fields(
      row, blocks, delimiter, [&](std::uint64_t, std::uint64_t, bool quoted, bool holds_delimiter) {
        ++fields;
        return !quoted || holds_delimiter;
      });
  if (stop != kWholeRow) return Skim::NotPlain;
  out.fields = fields;
  out.text = std::string_view(parser.data.data() + start, line_end);
  out.line_break = true;
  out.next = start + line_end + 1;
  return blocks.ascii || is_valid_utf8(out.text) ? Skim::Plain : Skim::NotPlain;
}

Skim skim_sse2(const ResilientParser& parser, SkimmedRow& out) {
  return skim_with<block_masks>(parser, out);
}

#if defined(CSV_MENDLE_ROW_BLOCKS_AVX2)
[[gnu::target("avx2,bmi"), gnu::flatten]] Skim skim_avx2(const ResilientParser& parser, SkimmedRow& out) {
  return skim_with<block_masks_avx2>(parser, out);
}
#endif

#if defined(CSV_MENDLE_ROW_BLOCKS_AVX2)
// Asked once, as the library loads: a plain load for every row after that.
const bool kHasAvx2Bmi = [] {
  __builtin_cpu_init();  // it may run before the library's own constructors
  return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi") != 0;
}();
#endif

FastRow fast_row(ResilientParser& parser, RowTable& out) {
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
FastRow fast_row(ResilientParser& parser, RowTable&) { return FastRow{parser.position, false, true}; }
Skim fast_skim(const ResilientParser&, SkimmedRow&) { return Skim::Unknown; }
#endif

}  // namespace

std::uint64_t bom_offset(std::string_view data) noexcept {
  return data.size() >= 3 && data.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
}

ResilientParser make_parser(std::string_view data, unsigned char delimiter, unsigned char quote,
                            bool repair_quotes) noexcept {
  ResilientParser parser;
  parser.data = data;
  parser.position = bom_offset(data);
  parser.line = 1;
  parser.repair_quotes = repair_quotes;
  parser.delimiter = delimiter;
  parser.quote = quote;
  return parser;
}

namespace {

// The byte-by-byte loop: the open row's fields from `pos` on, the fields
// before it (of the row at parser.position) being done already; `verbatim`
// tells whether they write back as their own bytes.
bool parse_row_bytes(ResilientParser& parser, RowTable& out, std::uint64_t pos, bool verbatim) {
  const char* const chars = parser.data.data();
  const Byte* const d = reinterpret_cast<const Byte*>(chars);
  const std::uint64_t n = parser.data.size();
  const Byte delimiter = parser.delimiter;
  const Byte quote = parser.quote;
  std::string& text = out.text();  // the field buffer is the tail of the table's text
  const std::uint64_t row_start = parser.position;
  // When the delimiter and the quote are ASCII, a field's bytes are the row's
  // bytes less some ASCII bytes, cut at ASCII bytes: if the row's bytes are
  // valid UTF-8, so is every field, and one check of the row serves them all.
  const bool ascii_syntax = delimiter < 0x80 && quote < 0x80;
  std::size_t field_start = text.size();
  const auto complete_field = [&] {
    if (!ascii_syntax) decode_tail_lossy(text, field_start);
    out.close_field();
    field_start = text.size();
  };
  bool quoted_needs_quotes = false;  // the current quoted field holds Q, D, CR or LF
  const auto complete_quoted_field = [&] {
    verbatim = verbatim && quoted_needs_quotes;
    complete_field();
  };
  std::uint64_t text_end = n;  // where the row's line break starts
  const auto finish_row = [&] {
    const std::string_view raw(chars + row_start, pos - row_start);
    if (ascii_syntax && !is_valid_utf8(raw)) {
      decode_open_row(out);
      verbatim = false;
    }
    parser.row_text = std::string_view(chars + row_start, text_end - row_start);
    parser.row_verbatim = verbatim;
    parser.position = pos;
    return true;
  };

  State state = State::Start;
  while (pos < n) {
    const Byte c = d[pos];
    bool row_ends = false;
    switch (state) {
      case State::Start:
        if (c == quote) {
          ++pos;  // the opening quote is not part of the text
          state = State::Quoted;
          quoted_needs_quotes = false;
        } else if (c == delimiter) {
          ++pos;
          complete_field();
        } else if (c == CR || c == LF) {
          row_ends = true;
        } else {
          state = State::Unquoted;  // this byte, spaces and tabs too, starts the text
        }
        break;

      case State::Unquoted: {
        // Quotes, spaces and tabs are ordinary text here.  A quote matters
        // only to the verbatim note, so the scan stops at one only while
        // that note still holds.
        const std::uint64_t stop = find_stop(d, pos, n, delimiter, verbatim ? quote : delimiter);
        text.append(chars + pos, stop - pos);
        pos = stop;
        if (pos == n) break;
        const Byte b = d[pos];
        if (b == delimiter) {
          ++pos;
          complete_field();
          state = State::Start;
        } else if (is_line_end(b)) {
          row_ends = true;
        } else {
          text.push_back(static_cast<char>(b));  // a quote amid unquoted text
          ++pos;
          verbatim = false;  // a writer would quote this field
        }
        break;
      }

      case State::Quoted: {
        // Delimiters, CRs and LFs are text up to the next quote; each LF
        // still counts as a line.
        const void* hit = std::memchr(chars + pos, quote, n - pos);
        const std::uint64_t stop = hit ? static_cast<std::uint64_t>(static_cast<const char*>(hit) - chars) : n;
        parser.line += static_cast<std::uint64_t>(std::count(d + pos, d + stop, LF));
        if (verbatim && !quoted_needs_quotes) {
          quoted_needs_quotes = find_stop(d, pos, stop, delimiter, delimiter) < stop;
        }
        text.append(chars + pos, stop - pos);
        pos = stop;
        if (pos == n) break;  // a quote that never closed
        if (pos + 1 == n) {
          ++pos;  // a quote that ends the input closes the field
          state = State::AfterQuote;
        } else if (d[pos + 1] == quote) {
          text.push_back(static_cast<char>(quote));  // a doubled quote stands for one
          pos += 2;
          quoted_needs_quotes = true;
        } else if (parser.repair_quotes && stray_quote_is_literal(parser, d, n, pos)) {
          text.push_back(static_cast<char>(quote));
          ++pos;
          verbatim = false;  // written back, the quote is doubled
        } else {
          ++pos;
          state = State::AfterQuote;
        }
        break;
      }

      case State::AfterQuote:
        if (c == delimiter) {
          ++pos;
          complete_quoted_field();
          state = State::Start;
        } else if (c == ' ' || c == '\t') {
          ++pos;  // blanks behind a closing quote are dropped
          verbatim = false;
        } else if (c == CR || c == LF) {
          row_ends = true;
        } else {
          text.push_back(static_cast<char>(c));  // text after the quote joins the field
          ++pos;
          state = State::Unquoted;
          verbatim = false;
        }
        break;
    }

    if (row_ends) {
      // CR LF is one line break; a lone CR or LF is one each.  Writers end
      // lines with LF alone.
      text_end = pos;
      if (d[pos] == CR) {
        ++pos;
        verbatim = false;
      }
      if (pos < n && d[pos] == LF) ++pos;
      ++parser.line;
      if (state == State::AfterQuote) {
        complete_quoted_field();
      } else {
        complete_field();
      }
      return finish_row();
    }
  }

  // The input ended: whatever the state, the field buffer is the last field,
  // and an unclosed quoted field has taken in everything up to here.
  if (state == State::Quoted) verbatim = false;  // its opening quote is dropped
  if (state == State::AfterQuote) {
    complete_quoted_field();
  } else {
    complete_field();
  }
  return finish_row();
}

}  // namespace

bool next_row(ResilientParser& parser, RowTable& out) {
  if (parser.position >= parser.data.size()) return false;
  const Byte delimiter = parser.delimiter;
  const Byte quote = parser.quote;
  out.open_row();
  parser.row_kept_quotes = 0;
  // Whether the row can be written back as its own bytes: cleared by every
  // byte the parser drops, adds or changes, and by a quoted field a writer
  // would not quote.  Unusual dialects (a delimiter or quote that is a line
  // end, or both the same byte) are never written verbatim.
  const bool verbatim = delimiter < 0x80 && quote < 0x80 && delimiter != quote &&
                        !is_line_end(delimiter) && !is_line_end(quote);
  if (!verbatim) return parse_row_bytes(parser, out, parser.position, false);
  const FastRow fast = fast_row(parser, out);
  if (fast.done) return true;
  // The loop goes on from the field that needs it.
  return parse_row_bytes(parser, out, fast.resume, fast.verbatim);
}

bool skim_row(const ResilientParser& parser, SkimmedRow& row) noexcept {
  const Byte* const d = reinterpret_cast<const Byte*>(parser.data.data());
  const std::uint64_t n = parser.data.size();
  const Byte delimiter = parser.delimiter;
  const Byte quote = parser.quote;
  const std::uint64_t start = parser.position;
  if (start >= n || delimiter >= 0x80 || quote >= 0x80 || delimiter == quote ||
      is_line_end(delimiter) || is_line_end(quote)) {
    return false;
  }
  switch (fast_skim(parser, row)) {
    case Skim::Plain: return true;
    case Skim::NotPlain: return false;
    case Skim::Unknown: break;
  }
  std::uint64_t p = start;
  std::uint64_t fields = 1;
  for (;;) {
    std::uint64_t end;  // where the field ends: at a delimiter, a line end or the end
    if (p < n && d[p] == quote) {
      // A quoted field whose first quote after the opening one closes it:
      // followed by the delimiter, LF or the end, no test can find it literal.
      const void* hit = std::memchr(d + p + 1, quote, n - p - 1);
      if (hit == nullptr) return false;
      const std::uint64_t close = static_cast<std::uint64_t>(static_cast<const Byte*>(hit) - d);
      const std::uint64_t stop = find_stop(d, p + 1, close, delimiter, delimiter);
      // It must hold the delimiter (else a writer leaves it bare) and no line end.
      if (stop == close || find_stop(d, stop, close, quote, quote) < close) return false;
      end = close + 1;
      if (end < n && d[end] != delimiter && d[end] != LF) return false;
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
    row.next = row.line_break ? end + 1 : n;
    return is_valid_utf8(row.text);
  }
}

void accept_row(ResilientParser& parser, const SkimmedRow& row) noexcept {
  parser.position = row.next;
  if (row.line_break) ++parser.line;
  parser.row_text = row.text;
  parser.row_verbatim = true;
  parser.row_kept_quotes = 0;
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
