#include "parser.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "byte_blocks.hpp"
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
// (before `n`), or `n`.  Sixteen bytes at a time while whole blocks remain.
std::uint64_t find_stop(const Byte* d, std::uint64_t from, std::uint64_t n, Byte delimiter,
                        Byte also) noexcept {
#if defined(__SSE2__)
  const __m128i delimiters = _mm_set1_epi8(static_cast<char>(delimiter));
  const __m128i alsos = _mm_set1_epi8(static_cast<char>(also));
  const __m128i crs = _mm_set1_epi8('\r');
  const __m128i lfs = _mm_set1_epi8('\n');
  while (n - from >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + from));
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, delimiters), _mm_cmpeq_epi8(block, alsos)),
                     _mm_or_si128(_mm_cmpeq_epi8(block, crs), _mm_cmpeq_epi8(block, lfs)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return from + static_cast<unsigned>(__builtin_ctz(mask));
    from += 16;
  }
#endif
  while (from < n && !ends_field(d[from], delimiter) && d[from] != also) ++from;
  return from;
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

bool next_row(ResilientParser& parser, RowTable& out) {
  const char* const chars = parser.data.data();
  const Byte* const d = reinterpret_cast<const Byte*>(chars);
  const std::uint64_t n = parser.data.size();
  std::uint64_t pos = parser.position;
  if (pos >= n) return false;

  const Byte delimiter = parser.delimiter;
  const Byte quote = parser.quote;
  out.open_row();
  std::string& text = out.text();  // the field buffer is the tail of the table's text
  const std::uint64_t row_start = pos;
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
  // Whether the row can be written back as its own bytes: cleared by every
  // byte the parser drops, adds or changes, and by a quoted field a writer
  // would not quote.  Unusual dialects (a delimiter or quote that is a line
  // end, or both the same byte) are never written verbatim.
  bool verbatim = ascii_syntax && delimiter != quote && !is_line_end(delimiter) &&
                  !is_line_end(quote);
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
  // The row is read sixty-four bytes at a time and judged a window at a
  // time from bitmasks (bit i for the window's byte i), without a branch
  // per byte or per field.  A quote opens quoted text when an even number of
  // quotes precede it in the row, so the prefix parity of the quotes marks
  // the quoted text (each opening quote included, its closing quote not).
  const Byte syntax[] = {delimiter, quote, CR, LF};
  std::uint64_t fields = 1;
  bool high = false;  // a byte of 0x80 or more was read
  std::uint64_t end = n;  // where the row ends: at its first LF or the end of the input
  // What a window hands to the next, about the next window's first byte:
  std::uint64_t quoted = 0;         // all ones when it lies inside quotes
  std::uint64_t field_start = 1;    // bit 0 set when a field starts there (the row's first does)
  std::uint64_t after_closing = 0;  // bit 0 set when a closing quote is right before it
  bool bare = false;                // the quoted text running into it holds no delimiter yet
  for (std::uint64_t window = start; window < n; window += kWindowBytes) {
    const WindowMasks<4> masks = window_masks(d, window, n, syntax);
    high = high || masks.high;
    const std::uint64_t available = n - window;
    std::uint64_t in_row = available >= kWindowBytes ? ~std::uint64_t{0}
                                                     : (std::uint64_t{1} << available) - 1;
    std::uint64_t row_end = 0;  // the bit just past the row, when the row ends in the window
    if (masks.of[3] != 0) {
      const unsigned line_feed = static_cast<unsigned>(std::countr_zero(masks.of[3]));
      in_row = (std::uint64_t{1} << line_feed) - 1;
      row_end = std::uint64_t{1} << line_feed;
      end = window + line_feed;
    } else if (available < kWindowBytes) {
      row_end = std::uint64_t{1} << available;
    }
    if ((masks.of[2] & in_row) != 0) return false;  // a CR
    const std::uint64_t delimiters = masks.of[0] & in_row;
    const std::uint64_t quotes = masks.of[1] & in_row;
    const std::uint64_t inside = prefix_parity(quotes) ^ quoted;
    // The row must not end inside quotes: no LF there, and no end of input.
    if ((inside & row_end) != 0) return false;
    const std::uint64_t separators = delimiters & ~inside;
    const std::uint64_t opening = quotes & inside;
    const std::uint64_t closing = quotes & ~inside;
    // A quote opens only a field, and right behind a closing quote comes
    // the delimiter or the row's end.
    if ((opening & ~((separators << 1) | field_start)) != 0) return false;
    if ((((closing << 1) | after_closing) & ~(separators | row_end)) != 0) return false;
    // Quoted text must hold the delimiter (else a writer leaves the field
    // bare).  Adding each run's first bit to the quoted bytes that are not
    // delimiters carries through a run that holds none, onto its closing
    // quote; a delimiter stops the carry.  A run that reaches the window's
    // end that way carries into the next window.
    std::uint64_t carried;
    const bool bare_out = __builtin_add_overflow(inside & ~delimiters, opening, &carried) |
                          __builtin_add_overflow(carried, std::uint64_t{bare}, &carried);
    if ((carried & closing) != 0) return false;
    fields += static_cast<std::uint64_t>(std::popcount(separators));
    quoted = (inside >> 63) != 0 ? ~std::uint64_t{0} : 0;
    field_start = separators >> 63;
    after_closing = closing >> 63;
    bare = bare_out;
    if (row_end != 0) break;
  }
  // An input that ends right at a window's end ends the row there.
  if (end == n && quoted != 0) return false;
  row.fields = fields;
  row.text = std::string_view(parser.data.data() + start, end - start);
  row.line_break = end < n;  // then d[end] is LF
  row.next = row.line_break ? end + 1 : n;
  return !high || is_valid_utf8(row.text);
}

void accept_row(ResilientParser& parser, const SkimmedRow& row) noexcept {
  parser.position = row.next;
  if (row.line_break) ++parser.line;
  parser.row_text = row.text;
  parser.row_verbatim = true;
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
