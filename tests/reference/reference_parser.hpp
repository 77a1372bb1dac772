// The tolerant row parser transcribed literally, for the tests and the fuzz
// harnesses to hold the real parser against: one byte per step of a state
// machine, and the stray-quote test scanning the rest of the line afresh for
// every quote it judges.  Slow (a line full of stray quotes takes quadratic
// time) but plain.  Fields are kept as raw bytes; callers decode them.
//
// With `skip_initial_space`, blanks behind a delimiter are dropped.  An
// `escape` byte (ignored when it is the delimiter, the quote, CR or LF) is
// dropped in every state and the byte behind it taken as text, or kept
// itself when it ends the data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace csv_mendle::reference {

class ReferenceParser {
 public:
  ReferenceParser(std::string_view data, std::uint64_t position, unsigned char delimiter,
                  unsigned char quote, bool repair_quotes, bool skip_initial_space = false,
                  std::optional<unsigned char> escape = std::nullopt)
      : data_(data), position_(position), delimiter_(delimiter), quote_(quote),
        repair_quotes_(repair_quotes), skip_initial_space_(skip_initial_space) {
    if (escape && *escape != delimiter && *escape != quote && *escape != '\r' && *escape != '\n') {
      escape_ = escape;
    }
  }

  // The offset of the next row, and the number of the line it starts on
  // (an LF inside quotes starts a line too).
  std::uint64_t position() const { return position_; }
  std::uint64_t line() const { return line_; }

  // The next row's raw fields, or nothing at the end of the data.
  std::optional<std::vector<std::string>> next_row() {
    const std::uint64_t n = data_.size();
    if (position_ >= n) return std::nullopt;
    const std::uint64_t row_start = position_;
    enum class State { Start, Unquoted, Quoted, AfterQuote } state = State::Start;
    std::vector<std::string> row;
    std::string field;
    const auto complete = [&] { row.push_back(std::exchange(field, {})); };
    for (; position_ < n; ++position_) {
      const unsigned char c = at(position_);
      const bool line_end = c == '\r' || c == '\n';
      if (escape_ && c == *escape_) {  // the next byte is text, in any state
        if (position_ + 1 < n) {
          ++position_;
          if (at(position_) == '\n') ++line_;
        }
        field.push_back(static_cast<char>(at(position_)));
        if (state != State::Quoted) state = State::Unquoted;
        continue;
      }
      switch (state) {
        case State::Start:  // a field's first byte: a quote there opens a quoted field
          if (c == quote_) {
            state = State::Quoted;
            break;
          }
          if (skip_initial_space_ && position_ > row_start && is_blank(c)) break;
          [[fallthrough]];
        case State::Unquoted:  // unquoted text: a quote is an ordinary byte
          if (c == delimiter_) {
            complete();
            state = State::Start;
          } else if (line_end) {
            return end_row(row, field);
          } else {
            field.push_back(static_cast<char>(c));
            state = State::Unquoted;
          }
          break;
        case State::Quoted:  // inside quotes: only a quote is special
          if (c != quote_) {
            if (c == '\n') ++line_;
            field.push_back(static_cast<char>(c));
          } else if (position_ + 1 < n && at(position_ + 1) == quote_) {
            field.push_back(static_cast<char>(quote_));  // a doubled quote is one quote
            ++position_;
          } else if (position_ + 1 < n && repair_quotes_ && stray_quote_is_literal(position_)) {
            field.push_back(static_cast<char>(quote_));
          } else {
            state = State::AfterQuote;
          }
          break;
        case State::AfterQuote:  // behind the closing quote: blanks are dropped, text joins
          if (c == delimiter_) {
            complete();
            state = State::Start;
          } else if (line_end) {
            return end_row(row, field);
          } else if (c != ' ' && c != '\t') {
            field.push_back(static_cast<char>(c));
            state = State::Unquoted;
          }
          break;
      }
    }
    complete();  // the end of the data ends the row; the line stays
    return row;
  }

 private:
  unsigned char at(std::uint64_t i) const { return static_cast<unsigned char>(data_[i]); }

  // A space or a tab that is neither the delimiter nor the escape.
  bool is_blank(unsigned char c) const {
    return (c == ' ' || c == '\t') && c != delimiter_ && !(escape_ && c == *escape_);
  }

  // The first offset at or after `i` that is not blank.
  std::uint64_t skip_blanks(std::uint64_t i) const {
    while (i < data_.size() && is_blank(at(i))) ++i;
    return i;
  }

  // Whether a quote followed by blanks up to `i` would close its field there.
  bool closes_at(std::uint64_t i) const {
    return i == data_.size() || at(i) == delimiter_ || at(i) == '\r' || at(i) == '\n';
  }

  // The stray-quote test for the quote at `p` inside a quoted field: a quote
  // not followed by the delimiter or a line end is kept as text when a later
  // quote on the same line is.  An escaped byte is no quote; the line ends
  // at a line end, escaped or not.
  bool stray_quote_is_literal(std::uint64_t p) const {
    std::uint64_t k = skip_blanks(p + 1);
    if (closes_at(k)) return false;
    for (; k < data_.size() && at(k) != '\r' && at(k) != '\n'; ++k) {
      if (escape_ && at(k) == *escape_) {
        if (k + 1 < data_.size() && at(k + 1) != '\r' && at(k + 1) != '\n') ++k;
        continue;
      }
      if (at(k) == quote_ && closes_at(skip_blanks(k + 1))) return true;
    }
    return false;
  }

  // Ends the row at the line end at `position_`: CR, LF or CR LF.
  std::vector<std::string> end_row(std::vector<std::string>& row, std::string& field) {
    if (at(position_) == '\r') ++position_;
    if (position_ < data_.size() && at(position_) == '\n') ++position_;
    ++line_;
    row.push_back(std::move(field));
    return std::move(row);
  }

  std::string_view data_;
  std::uint64_t position_;
  std::uint64_t line_ = 1;
  unsigned char delimiter_;
  unsigned char quote_;
  bool repair_quotes_;
  bool skip_initial_space_;
  std::optional<unsigned char> escape_;
};

}  // namespace csv_mendle::reference
