#include "csv_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>

#include "byte_blocks.hpp"
#include "memory_limit.hpp"
#include "plain_row.hpp"

namespace csv_mendle {

namespace {

// Stores the UTF-8 form of the character U+0000..U+00FF whose code point is
// `byte`; returns its length.
std::size_t encode_latin1(std::array<char, 2>& out, unsigned char byte) noexcept {
  if (byte < 0x80) {
    out[0] = static_cast<char>(byte);
    return 1;
  }
  out[0] = static_cast<char>(0xC0 | (byte >> 6));
  out[1] = static_cast<char>(0x80 | (byte & 0x3F));
  return 2;
}

// Appends `text` with every occurrence of `quote` (non-empty) doubled.
void append_doubled(std::string& out, std::string_view text, std::string_view quote) {
  std::size_t start = 0;
  for (std::size_t hit; (hit = text.find(quote, start)) != std::string_view::npos;) {
    const std::size_t after = hit + quote.size();
    out.append(text, start, after - start);
    out.append(quote);
    start = after;
  }
  out.append(text, start);
}

constexpr std::string_view double_quote = "\"";

}  // namespace

OutputDialect::OutputDialect(unsigned char delimiter, unsigned char quote)
    : delimiter_size_(encode_latin1(delimiter_, delimiter)),
      quote_size_(encode_latin1(quote_, quote)) {
  forces_quotes_['\n'] = true;
  forces_quotes_['\r'] = true;
  if (delimiter_size_ == 1) forces_quotes_[delimiter] = true;
  if (quote_size_ == 1) forces_quotes_[quote] = true;
}

bool OutputDialect::needs_quotes(std::string_view field) const noexcept {
  for (const char c : field) {
    if (forces_quotes_[static_cast<unsigned char>(c)]) return true;
  }
  // Fields are UTF-8, so a two-byte character is found only where it stands
  // whole, never across two neighbouring characters.
  return (quote_size_ == 2 && field.find(quote()) != std::string_view::npos) ||
         (delimiter_size_ == 2 && field.find(delimiter()) != std::string_view::npos);
}

namespace {

// Offset of the first byte at or after `from` in `text` that is one of
// `bytes` (four single-byte characters that force quoting), or the size.
std::size_t next_forcing_byte(std::string_view text, std::size_t from,
                              const unsigned char (&bytes)[4]) noexcept {
  return first_of_four(reinterpret_cast<const unsigned char*>(text.data()), from, text.size(),
                       bytes);
}

void append_quoted(std::string& out, std::string_view field, std::string_view quote) {
  out.append(quote);
  append_doubled(out, field, quote);
  out.append(quote);
}

}  // namespace

// Rows up to this size are written into room for their worst case.
constexpr std::size_t kRoomyRowBytes = std::size_t{64} << 10;

void append_output_line(std::string& out, RowView row, const OutputDialect& dialect) {
  const std::string_view quote = dialect.quote();
  const std::string_view delimiter = dialect.delimiter();
  if (quote.size() == 1 && delimiter.size() == 1) {
    // One scan of the row's text finds every byte that forces quoting; only
    // the fields that hold one are looked at again.
    const std::string_view text = row.text();
    const unsigned char forcing[4] = {static_cast<unsigned char>(quote[0]),
                                      static_cast<unsigned char>(delimiter[0]), '\n', '\r'};
    std::size_t forced = next_forcing_byte(text, 0, forcing);
    if (text.size() <= kRoomyRowBytes) {
      // Room for the worst case (every field quoted, every byte a doubled
      // quote), written in place and cut to size.
      const std::size_t base = out.size();
      out.resize(base + 2 * text.size() + 3 * row.size() + 1);
      char* w = out.data() + base;
      const char q = quote[0];
      for (std::size_t i = 0, begin = 0; i < row.size(); ++i) {
        if (i > 0) *w++ = delimiter[0];
        const std::string_view field = row.field(i);
        const std::size_t end = begin + field.size();
        if (forced < end) {
          *w++ = q;
          for (std::size_t at = 0; at < field.size();) {
            const void* hit = std::memchr(field.data() + at, q, field.size() - at);
            const std::size_t stop =
                hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - field.data()) + 1
                    : field.size();
            std::memcpy(w, field.data() + at, stop - at);
            w += stop - at;
            if (hit) *w++ = q;  // the quote is doubled
            at = stop;
          }
          *w++ = q;
          forced = next_forcing_byte(text, end, forcing);
        } else if (!field.empty()) {
          std::memcpy(w, field.data(), field.size());
          w += field.size();
        }
        begin = end;
      }
      *w++ = '\n';
      out.resize(static_cast<std::size_t>(w - out.data()));
      return;
    }
    // A longer row is appended piece by piece: its worst case could be
    // twice its size.
    out.reserve(out.size() + text.size() + row.size() + 1);
    std::size_t begin = 0;
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i > 0) out.push_back(delimiter[0]);
      const std::string_view field = row.field(i);
      const std::size_t end = begin + field.size();
      if (forced < end) {
        append_quoted(out, field, quote);
        forced = next_forcing_byte(text, end, forcing);
      } else {
        out.append(field);
      }
      begin = end;
    }
    out.push_back('\n');
    return;
  }
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) out.append(delimiter);
    const std::string_view field = row.field(i);
    if (dialect.needs_quotes(field)) {
      append_quoted(out, field, quote);
    } else {
      out.append(field);
    }
  }
  out.push_back('\n');
}

void append_resized_plain_line(std::string& out, std::string_view text, std::uint64_t fields,
                               std::uint64_t width, const OutputDialect& dialect) {
  const char delimiter = dialect.delimiter()[0];
  if (fields <= width) {
    // An absurd width (an expected column count of 10**12) is refused as the
    // memory failure it is before anything is allocated.
    if (width - fields > physical_memory_bytes()) throw std::bad_alloc();
    out.append(text);
    out.append(width - fields, delimiter);  // each empty field is written bare
    out.push_back('\n');
    return;
  }
  // A plain row's delimiters outside quotes are found as well from its end
  // as from its start, and the surplus fields are usually the few.  Of the
  // row's fields - 1 delimiters, the (fields - width + 1)-th from the end
  // follows the last field kept whole.
  const char quote = dialect.quote()[0];
  const std::size_t start =
      plain_cut_from_end(text, fields - width + 1, static_cast<unsigned char>(delimiter),
                         static_cast<unsigned char>(quote));
  // The joined field holds the delimiter, so it is quoted; it holds no
  // quote (the row's quotes only enclosed fields), so nothing is doubled.
  out.append(text.substr(0, start));
  out.push_back(quote);
  for (std::size_t at = start; at < text.size();) {
    const std::size_t stop = std::min(text.find(quote, at), text.size());
    out.append(text.substr(at, stop - at));
    at = stop + 1;
  }
  out.push_back(quote);
  out.push_back('\n');
}

void append_quarantine_line(std::string& out, const QuarantineRecord& record,
                            const OutputDialect& dialect) {
  char digits[20];  // UINT64_MAX has 20 decimal digits
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, record.line);
  (void)error;  // cannot fail: the buffer holds every 64-bit value
  out.append(digits, end);
  out.append(",\"");
  append_doubled(out, record.reason, double_quote);
  out.append("\",\"");
  // The raw content is the joined text with its double quotes doubled, so a
  // delimiter that is itself the double quote is doubled too.
  for (std::size_t i = 0; i < record.raw_fields.size(); ++i) {
    if (i > 0) append_doubled(out, dialect.delimiter(), double_quote);
    append_doubled(out, record.raw_fields[i], double_quote);
  }
  out.append("\"\n");
}

}  // namespace csv_mendle
