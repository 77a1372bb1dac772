// Dialect heuristics: guess the delimiter and the expected column count from
// the head of the data, by parsing it with the tolerant parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "parser.hpp"

namespace csv_mendle {

// A field is blank when trimming Unicode White_Space from both ends leaves
// nothing (the empty field is blank).  `field` is valid UTF-8.
bool is_blank_field(std::string_view field) noexcept;

// The most likely delimiter among ',', ';', tab and '|' (',' without
// evidence), the rows parsed with `quote` and `rules`, lines that start with
// `comment` passed over.
unsigned char sniff_delimiter(std::string_view sample, unsigned char quote = '"',
                              std::optional<unsigned char> comment = std::nullopt,
                              const FieldRules& rules = {});

// The most frequent field count among the first 100 non-blank rows, parsed
// with `delimiter`, `quote` and `rules`, lines that start with `comment`
// passed over; 0 when there is no such row.
std::uint64_t infer_column_count(std::string_view data, unsigned char delimiter,
                                 unsigned char quote = '"',
                                 std::optional<unsigned char> comment = std::nullopt,
                                 const FieldRules& rules = {});

// The quote, of '"' and '\'', that a sample reads best with, and the
// delimiter that goes with it: `delimiter` when given, else the one sniffed
// with that quote.
struct SniffedQuote {
  unsigned char quote = '"';
  unsigned char delimiter = ',';
};

// Reads the head of `sample` once with each quote (as many counted rows as
// the delimiter sniff reads).  A quote that runs open to the end loses;
// then the larger share of rows of the most common width wins, then the
// more rows that hold the quote and read cleanly with it (every quote closes
// its field, none stands amid unquoted text); a tie keeps '"'.
SniffedQuote sniff_quote(std::string_view sample, std::optional<unsigned char> delimiter,
                         std::optional<unsigned char> comment = std::nullopt,
                         const FieldRules& rules = {});

}  // namespace csv_mendle
