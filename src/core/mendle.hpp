// Row repair and quarantine: bring every row of a buffer to the expected width,
// or set it aside with a reason and a line number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_buffer.hpp"
#include "parser.hpp"
#include "row_index.hpp"
#include "row_table.hpp"

namespace csv_mendle {

struct RepairOptions {
  std::optional<unsigned char> delimiter;  // absent: sniffed
  unsigned char quote_char = '"';
  bool fill_ragged_rows = true;                   // pad short rows (else quarantine them)
  bool merge_overflow = true;                     // merge surplus fields (else quarantine)
  std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no width check
  bool repair_quotes = true;
};

struct QuarantineRecord {
  std::vector<std::string> raw_fields;  // the row exactly as parsed
  std::string reason;
  std::uint64_t line = 0;  // the parser's line counter right after the row
};

struct RepairCounts {
  std::uint64_t total_rows = 0;
  std::uint64_t mendled_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
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

struct IndexOutcome {
  IndexedRows rows;  // delivered rows, in input order
  RepairCounts counts;
  std::uint64_t inferred_columns = 0;
  char32_t detected_delimiter = U',';
};

// The repair of mendle_slice, for a caller that hands over the whole input:
// plain rows of the right width stay in it, the other delivered rows are
// copied, and quarantined rows are only counted.  The input is released when
// no row refers to it.
IndexOutcome mendle_indexed(ByteBuffer input, const RepairOptions& options);

// ---- the row loop shared by the in-memory and the file repair ----

// The delimiter and the width a repair applies.
struct Dialect {
  unsigned char delimiter = ',';
  std::uint64_t expected_columns = 0;  // 0: no width check
};

// The given delimiter and width, or those the heuristics find in `input`.
// An empty input has nothing to judge: ',' and no width, the options unread.
Dialect settle_dialect(std::string_view input, const RepairOptions& options);

// Parses every row of `input` and judges it against the dialect's width: a
// row of the right width, or one that is padded or merged, is left as the
// open row of `rows` and handed to `deliver(rows, parser, repaired)`, which
// commits or discards it and returns false to stop the run (the parser tells
// how far the input is read and whether the row's own bytes are its written
// form); any other row becomes a record handed to `quarantine(record)`.
// `counts` follows every row.  A caller that needs only the written form of
// rows passes `deliver_plain(text)`: a plain row of the right width (see
// skim_row) is then handed over as its bytes alone, without being parsed
// into fields.  A `deliver_plain(text, fields)` that takes the field count
// too is also handed the plain rows that are to be padded or merged, with
// their own field count.  Rows are not looked at for a while after a run of
// rows that are not plain, so a plain row may still come as fields.
template <class Deliver, class Quarantine, class DeliverPlain = std::nullptr_t>
void repair_rows(std::string_view input, const RepairOptions& options, const Dialect& dialect,
                 RowTable& rows, RepairCounts& counts, Deliver&& deliver,
                 Quarantine&& quarantine, DeliverPlain&& deliver_plain = nullptr);

}  // namespace csv_mendle

#include "mendle_rows.inl"
