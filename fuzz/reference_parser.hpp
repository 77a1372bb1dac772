// A slow, literal transcription of the tolerant row parser for the parser
// harness to compare against: one byte per step, and the stray-quote test
// scanning the rest of the line afresh for every quote it judges.  Fields are
// kept as raw bytes; the caller decodes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace csv_mendle::fuzz {

class ReferenceParser {
 public:
  ReferenceParser(std::string_view data, std::uint64_t position, unsigned char delimiter,
                  unsigned char quote, bool repair_quotes)
      : d_(data), pos_(position), delimiter_(delimiter), quote_(quote), repair_(repair_quotes) {}

  std::uint64_t position() const { return pos_; }
  std::uint64_t line() const { return line_; }

  // The next row's raw fields, or nothing at the end of the data.
  std::optional<std::vector<std::string>> next_row() {
    if (pos_ >= d_.size()) return std::nullopt;
    enum class State { Start, Unquoted, Quoted, AfterQuote } state = State::Start;
    std::vector<std::string> row;
    std::string field;
    const auto complete = [&] { row.push_back(std::exchange(field, {})); };
    for (; pos_ < d_.size(); ++pos_) {
      const unsigned char c = at(pos_);
      const bool line_end = c == '\r' || c == '\n';
      switch (state) {
        case State::Start:
        case State::Unquoted:
          if (state == State::Start && c == quote_) {
            state = State::Quoted;
          } else if (c == delimiter_) {
            complete();
            state = State::Start;
          } else if (line_end) {
            return end_row(row, field);
          } else {
            field.push_back(static_cast<char>(c));
            state = State::Unquoted;
          }
          break;
        case State::Quoted:
          if (c != quote_) {
            if (c == '\n') ++line_;
            field.push_back(static_cast<char>(c));
          } else if (pos_ + 1 < d_.size() && at(pos_ + 1) == quote_) {
            field.push_back(static_cast<char>(quote_));  // a doubled quote
            ++pos_;
          } else if (pos_ + 1 < d_.size() && repair_ && literal(pos_)) {
            field.push_back(static_cast<char>(quote_));
          } else {
            state = State::AfterQuote;
          }
          break;
        case State::AfterQuote:
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
    complete();  // the end of the data ends the row; `line` stays
    return row;
  }

 private:
  unsigned char at(std::uint64_t i) const { return static_cast<unsigned char>(d_[i]); }

  // The first offset at or after `i` that is not a space or tab; a byte
  // equal to the delimiter is never skipped.
  std::uint64_t skip_blanks(std::uint64_t i) const {
    while (i < d_.size() && (at(i) == ' ' || at(i) == '\t') && at(i) != delimiter_) ++i;
    return i;
  }
  bool ends_here(std::uint64_t i) const {
    return i == d_.size() || at(i) == delimiter_ || at(i) == '\r' || at(i) == '\n';
  }

  // The stray-quote test for the quote at `p`.
  bool literal(std::uint64_t p) const {
    std::uint64_t k = skip_blanks(p + 1);
    if (ends_here(k)) return false;
    for (; k < d_.size() && at(k) != '\r' && at(k) != '\n'; ++k) {
      if (at(k) == quote_ && ends_here(skip_blanks(k + 1))) return true;
    }
    return false;
  }

  std::vector<std::string> end_row(std::vector<std::string>& row, std::string& field) {
    if (at(pos_) == '\r') ++pos_;
    if (pos_ < d_.size() && at(pos_) == '\n') ++pos_;
    ++line_;
    row.push_back(std::move(field));
    return std::move(row);
  }

  std::string_view d_;
  std::uint64_t pos_;
  std::uint64_t line_ = 1;
  unsigned char delimiter_;
  unsigned char quote_;
  bool repair_;
};

}  // namespace csv_mendle::fuzz
