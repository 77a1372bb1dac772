// Row repair and quarantine: bring every row of a buffer to the expected width,
// or set it aside with a reason and a line number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "row_table.hpp"

namespace csv_mendle {

struct RepairOptions {
  std::optional<unsigned char> delimiter;  // absent: sniffed
  unsigned char quote_char = '"';
  bool fill_ragged_rows = true;                 // pad short rows (else quarantine them)
  bool merge_overflow = true;                   // merge surplus fields (else quarantine)
  std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no width check
  bool repair_quotes = true;
};

struct QuarantineRecord {
  std::vector<std::string> raw_fields;  // the row exactly as parsed
  std::string reason;
  std::uint64_t line = 0;  // the parser's line counter right after the row
};

struct SliceOutcome {
  RowTable rows;  // delivered rows, in input order
  std::vector<QuarantineRecord> quarantine;
  std::uint64_t total_rows = 0;
  std::uint64_t mendled_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;
  char32_t detected_delimiter = U',';
};

SliceOutcome mendle_slice(std::string_view input, const RepairOptions& options);

}  // namespace csv_mendle
