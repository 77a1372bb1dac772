#include "heuristics.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "parser.hpp"
#include "row_table.hpp"

namespace csv_mendle {
namespace {

// Rows the delimiter sniff (and the quote sniff) counts at most per parse.
constexpr std::size_t kSniffRows = 50;

// Field counts and how often each occurred, in the order the counts were
// first met in the data.  A handful of distinct counts is the rule, so a
// linear search beats a map, and the order makes ties deterministic.
class Tally {
 public:
  void add(std::uint64_t count) {
    for (auto& entry : entries_) {
      if (entry.first == count) {
        ++entry.second;
        return;
      }
    }
    entries_.emplace_back(count, 1);
  }

  bool empty() const noexcept { return entries_.empty(); }

  // The count with the highest tally among those of at least `min_count`, as
  // {count, tally}; {0, 0} when there is none.  Of tied counts the one met
  // first in the data is taken, so the same data always gives the same answer.
  std::pair<std::uint64_t, std::int32_t> mode(std::uint64_t min_count) const noexcept {
    std::pair<std::uint64_t, std::int32_t> best{0, 0};
    for (const auto& entry : entries_) {
      if (entry.first >= min_count && entry.second > best.second) best = entry;
    }
    return best;
  }

 private:
  std::vector<std::pair<std::uint64_t, std::int32_t>> entries_;
};

// Feeds the field count and the parser's facts of each counted row of
// `data`, parsed with `delimiter`, `quote` and `rules`, to `visit` until it
// returns false or the data ends.  Rows of one blank field (blank or
// whitespace-only lines) are skipped and not counted.  `row` holds one row
// at a time, so memory stays bounded however long the data.
template <typename Visit>
void for_each_counted_row(std::string_view data, unsigned char delimiter, unsigned char quote,
                          std::optional<unsigned char> comment, const FieldRules& rules,
                          RowTable& row, Visit visit) {
  ResilientParser parser = make_parser(data, delimiter, quote, true, rules);
  while (true) {
    row.clear();
    if (skip_comment_line(parser, comment)) continue;
    if (!next_row(parser, row)) return;
    const std::size_t fields = row.open_field_count();
    if (fields == 1 && is_blank_field(row.open_field(0))) continue;
    if (!visit(static_cast<std::uint64_t>(fields), parser.row)) return;
  }
}

// Length of the Unicode White_Space character at the start of `s`, or 0 if
// it does not start with one.
std::size_t white_space_length(std::string_view s) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(0);
  if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  // U+0085, U+00A0
  if (s.size() >= 2 && b0 == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) return 2;
  if (s.size() < 3) return 0;
  const unsigned char b1 = byte(1);
  const unsigned char b2 = byte(2);
  if (b0 == 0xE1) return b1 == 0x9A && b2 == 0x80 ? 3 : 0;  // U+1680
  if (b0 == 0xE3) return b1 == 0x80 && b2 == 0x80 ? 3 : 0;  // U+3000
  if (b0 != 0xE2) return 0;
  if (b1 == 0x80) {
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
  }
  return b1 == 0x81 && b2 == 0x9F ? 3 : 0;  // U+205F
}

}  // namespace

bool is_blank_field(std::string_view field) noexcept {
  // Trimming White_Space from both ends leaves nothing exactly when every
  // character is White_Space.
  while (!field.empty()) {
    const std::size_t length = white_space_length(field);
    if (length == 0) return false;
    field.remove_prefix(length);
  }
  return true;
}

unsigned char sniff_delimiter(std::string_view sample, unsigned char quote,
                              std::optional<unsigned char> comment, const FieldRules& rules) {
  constexpr unsigned char kCandidates[] = {',', ';', '\t', '|'};  // also the order of preference

  double best_score = -1.0;
  unsigned char best = ',';
  std::vector<std::uint64_t> counts;
  counts.reserve(kSniffRows);
  RowTable row;
  for (const unsigned char candidate : kCandidates) {
    counts.clear();
    for_each_counted_row(sample, candidate, quote, comment, rules, row,
                         [&](std::uint64_t fields, const RowFacts&) {
                           counts.push_back(fields);
                           return counts.size() < kSniffRows;
                         });

    // Consistency (share of rows with the most common width of at least 2
    // fields) times breadth (ln of that width, at least 1).  Rows of one
    // field stay in N and so lower the score.
    double score = 0.0;
    if (counts.size() >= 2) {
      Tally tally;
      for (const std::uint64_t fields : counts) tally.add(fields);
      const auto [width, rows] = tally.mode(2);
      if (rows > 0) {
        score = (static_cast<double>(rows) / static_cast<double>(counts.size())) *
                std::max(std::log(static_cast<double>(width)), 1.0);
      }
    }
    // Only a strictly better score wins, so earlier candidates win ties.
    if (score > best_score) {
      best_score = score;
      best = candidate;
    }
  }
  return best;
}

std::uint64_t infer_column_count(std::string_view data, unsigned char delimiter,
                                 unsigned char quote, std::optional<unsigned char> comment,
                                 const FieldRules& rules) {
  constexpr std::size_t kRowLimit = 100;
  Tally tally;
  std::size_t counted = 0;
  RowTable row;
  for_each_counted_row(data, delimiter, quote, comment, rules, row,
                       [&](std::uint64_t fields, const RowFacts&) {
                         tally.add(fields);
                         return ++counted < kRowLimit;
                       });
  if (tally.empty()) return 0;
  return tally.mode(1).first;  // rows of one field take part too
}

namespace {

// How one quote reads the head of a sample.
struct QuoteReading {
  bool runs_open = false;          // a quote ran open to the end
  std::uint64_t counted = 0;       // rows counted
  std::uint64_t modal = 0;         // of them, rows of the most common width
  std::uint64_t quoted_clean = 0;  // of them, rows that hold the quote and read cleanly
};

QuoteReading read_with_quote(std::string_view sample, unsigned char delimiter, unsigned char quote,
                             std::optional<unsigned char> comment, const FieldRules& rules) {
  QuoteReading reading;
  Tally tally;
  RowTable row;
  for_each_counted_row(sample, delimiter, quote, comment, rules, row,
                       [&](std::uint64_t fields, const RowFacts& facts) {
                         tally.add(fields);
                         reading.runs_open = reading.runs_open || facts.unclosed;
                         const bool clean = !facts.quote_in_unquoted && facts.kept_quotes == 0 &&
                                            facts.bytes_after_quote == 0 && !facts.unclosed;
                         if (clean && facts.bytes.find(static_cast<char>(quote)) !=
                                          std::string_view::npos) {
                           ++reading.quoted_clean;
                         }
                         return ++reading.counted < kSniffRows;
                       });
  reading.modal = static_cast<std::uint64_t>(tally.mode(1).second);
  return reading;
}

// Whether `a` reads the sample better than `b` (see sniff_quote).
bool reads_better(const QuoteReading& a, const QuoteReading& b) noexcept {
  if (a.runs_open != b.runs_open) return b.runs_open;
  // The shares modal / counted, compared exactly (both at most 50 / 50).
  const std::uint64_t share_a = a.modal * b.counted;
  const std::uint64_t share_b = b.modal * a.counted;
  if (share_a != share_b) return share_a > share_b;
  return a.quoted_clean > b.quoted_clean;
}

}  // namespace

SniffedQuote sniff_quote(std::string_view sample, std::optional<unsigned char> delimiter,
                         std::optional<unsigned char> comment, const FieldRules& rules) {
  SniffedQuote best;
  QuoteReading best_reading;
  for (const unsigned char quote : {'"', '\''}) {  // '"' first: it keeps ties
    const unsigned char used =
        delimiter ? *delimiter : sniff_delimiter(sample, quote, comment, rules);
    const QuoteReading reading = read_with_quote(sample, used, quote, comment, rules);
    if (quote == '"' || reads_better(reading, best_reading)) {
      best = SniffedQuote{quote, used};
      best_reading = reading;
    }
  }
  return best;
}

}  // namespace csv_mendle
