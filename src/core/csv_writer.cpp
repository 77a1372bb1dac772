#include "csv_writer.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "simd_masks.hpp"

namespace csv_mendle {

OutputDialect::OutputDialect(unsigned char delimiter, unsigned char quote, OutputStyle style)
    : delimiter_(latin1_char(delimiter)), quote_(latin1_char(quote)), crlf_(style.crlf) {
  const auto is_line_end = [](unsigned char b) { return b == '\n' || b == '\r'; };
  copies_rows_ = style.as_read && !style.crlf && delimiter < 0x80 && quote < 0x80 && delimiter != quote &&
                 !is_line_end(delimiter) && !is_line_end(quote);
  forces_quotes_['\n'] = true;
  forces_quotes_['\r'] = true;
  if (delimiter_.size == 1) forces_quotes_[delimiter] = true;
  if (quote_.size == 1) forces_quotes_[quote] = true;
}

bool OutputDialect::needs_quotes(std::string_view field) const noexcept {
  for (const char c : field) {
    if (forces_quotes_[static_cast<unsigned char>(c)]) return true;
  }
  // Fields are UTF-8, so a two-byte character is found only where it stands
  // whole, never across two neighbouring characters.
  return (quote_.size == 2 && field.find(quote()) != std::string_view::npos) ||
         (delimiter_.size == 2 && field.find(delimiter()) != std::string_view::npos);
}

RowCopy row_copy(const RowFacts& row, const OutputDialect& dialect) noexcept {
  const bool fields_as_read = !row.quote_in_unquoted && !row.needless_quotes && !row.unclosed &&
                              !row.skipped_blanks && !row.escaped &&
                              row.bytes_after_quote == 0 && row.replaced == 0;
  const bool lf_or_end = row.line_break == LineBreak::Lf || row.line_break == LineBreak::None;
  if (!dialect.copies_rows() || !fields_as_read || !lf_or_end) return RowCopy::Rewrite;
  if (row.kept_quotes == 0) return RowCopy::Bytes;
  // The input's last row, with no line break, is rewritten instead.
  if (row.kept_quotes <= RowFacts::kQuotesListed && row.line_break == LineBreak::Lf) {
    return RowCopy::BytesDoublingKeptQuotes;
  }
  return RowCopy::Rewrite;
}

namespace {

// Where a line is assembled: straight into room reserved for its worst case,
// or, for a row whose worst case would cost too much room, appended piece by
// piece.  The loops that write fields are written once, over either.
class RoomyLine {
 public:
  RoomyLine(std::string& out, std::size_t most) : out_(out), base_(out.size()) {
    out_.resize(base_ + most);
    at_ = out_.data() + base_;
  }
  void put(std::string_view piece) noexcept {
    if (piece.empty()) return;
    std::memcpy(at_, piece.data(), piece.size());
    at_ += piece.size();
  }
  void put(char c) noexcept { *at_++ = c; }
  void done() { out_.resize(static_cast<std::size_t>(at_ - out_.data())); }

 private:
  std::string& out_;
  std::size_t base_;
  char* at_ = nullptr;
};

class GrowingLine {
 public:
  explicit GrowingLine(std::string& out) : out_(out) {}
  void put(std::string_view piece) { out_.append(piece); }
  void put(char c) { out_.push_back(c); }
  void done() noexcept {}

 private:
  std::string& out_;
};

// `text` with every occurrence of `quote` (non-empty) doubled.
template <class Line>
void put_doubled(Line& line, std::string_view text, std::string_view quote) {
  std::size_t start = 0;
  for (std::size_t hit; (hit = text.find(quote, start)) != std::string_view::npos;) {
    const std::size_t after = hit + quote.size();
    line.put(text.substr(start, after - start));
    line.put(quote);
    start = after;
  }
  line.put(text.substr(start));
}

// Which fields of a row must be quoted.  With a one-byte D and Q, one scan
// of the row's text finds every byte that forces quoting, and only the
// fields that hold one are looked at again.
class QuotingScan {
 public:
  QuotingScan(std::string_view text, const OutputDialect& dialect)
      : text_(text), dialect_(dialect) {
    single_bytes_ = dialect.quote().size() == 1 && dialect.delimiter().size() == 1;
    if (!single_bytes_) return;
    forcing_[0] = static_cast<unsigned char>(dialect.quote()[0]);
    forcing_[1] = static_cast<unsigned char>(dialect.delimiter()[0]);
    forced_ = next_forcing(0);
  }

  // For the fields in order: whether `field`, which ends at `end` in the
  // row's text, must be quoted.
  bool needs_quotes(std::string_view field, std::size_t end) noexcept {
    if (!single_bytes_) return dialect_.needs_quotes(field);
    if (forced_ >= end) return false;
    forced_ = next_forcing(end);
    return true;
  }

 private:
  std::size_t next_forcing(std::size_t from) const noexcept {
    return first_of_four(reinterpret_cast<const unsigned char*>(text_.data()), from, text_.size(),
                         forcing_);
  }

  std::string_view text_;
  const OutputDialect& dialect_;
  bool single_bytes_ = false;
  unsigned char forcing_[4] = {0, 0, '\n', '\r'};
  std::size_t forced_ = 0;
};

template <class Line>
void put_row(Line& line, RowView row, const OutputDialect& dialect) {
  QuotingScan quoting(row.text(), dialect);
  std::size_t end = 0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (i > 0) line.put(dialect.delimiter());
    const std::string_view field = row.field(i);
    end += field.size();
    if (quoting.needs_quotes(field, end)) {
      line.put(dialect.quote());
      put_doubled(line, field, dialect.quote());
      line.put(dialect.quote());
    } else {
      line.put(field);
    }
  }
  line.put(dialect.line_end());
  line.done();
}

// Rows up to this size are written into room for their worst case.
constexpr std::size_t kRoomyRowBytes = std::size_t{64} << 10;

constexpr std::string_view kDoubleQuote = "\"";

}  // namespace

void append_output_line(std::string& out, RowView row, const OutputDialect& dialect) {
  const std::size_t text = row.text().size();
  if (text <= kRoomyRowBytes) {
    // Every field quoted, every character a doubled quote.
    const std::size_t per_field = 2 * dialect.quote().size() + dialect.delimiter().size();
    RoomyLine line(out, 2 * text + per_field * row.size() + dialect.line_end().size());
    put_row(line, row, dialect);
  } else {
    out.reserve(out.size() + text + row.size() + dialect.line_end().size());
    GrowingLine line(out);
    put_row(line, row, dialect);
  }
}

void append_resized_plain_line(std::string& out, std::string_view text, const PlainResize& resize,
                               const OutputDialect& dialect) {
  const char delimiter = dialect.delimiter()[0];
  if (!resize.merges) {
    out.append(text);
    out.append(resize.pad, delimiter);  // each empty field is written bare
    out.push_back('\n');
    return;
  }
  // The merged field holds the delimiter, so it is quoted; it holds no
  // quote (the row's quotes only enclosed fields), so nothing is doubled.
  const char quote = dialect.quote()[0];
  out.append(text.substr(0, resize.merged_from));
  out.push_back(quote);
  for (std::size_t at = resize.merged_from; at < text.size();) {
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
  GrowingLine line(out);
  line.put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  line.put(",\"");
  put_doubled(line, record.reason, kDoubleQuote);
  line.put("\",\"");
  // The raw content is the joined text with its double quotes doubled, so a
  // delimiter that is itself the double quote is doubled too.
  for (std::size_t i = 0; i < record.raw_fields.size(); ++i) {
    if (i > 0) put_doubled(line, dialect.delimiter(), kDoubleQuote);
    put_doubled(line, record.raw_fields[i], kDoubleQuote);
  }
  line.put("\"\n");
}

}  // namespace csv_mendle
