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
#include "change_account.hpp"
#include "decompress.hpp"
#include "parser.hpp"
#include "row_index.hpp"
#include "row_table.hpp"
#include "transcode.hpp"
#include "width_rule.hpp"

namespace csv_mendle {

struct RepairOptions {
  std::optional<unsigned char> delimiter;  // absent: sniffed
  unsigned char quote_char = '"';
  bool fill_ragged_rows = true;                   // pad short rows (else quarantine them)
  bool merge_overflow = true;                     // merge surplus fields (else quarantine)
  std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no width check
  bool repair_quotes = true;
  // Lines before the table: the first `skip_rows` physical lines are dropped
  // before anything parses, and so is every line that starts with the
  // `comment` byte.  The backend sets neither.
  std::uint64_t skip_rows = 0;
  std::optional<unsigned char> comment;
  // Dialects beyond the backend's, which sets none of them.
  // Blanks (spaces, tabs) right after a delimiter are no part of the field,
  // so a quote after them opens a quoted field.
  bool skip_initial_space = false;
  // The escape byte makes the byte after it literal, inside quotes and out.
  std::optional<unsigned char> escape;
  // The first row of the table is its header: its width is the expected
  // width unless `expected_columns` is given, and it is neither judged,
  // merged nor quarantined.  Blank lines before it are dropped like the
  // `skip_rows` lines.  It counts as a delivered row: the file repair writes
  // it first, the in-memory repairs hand it out apart from the rows.
  bool header = false;
  // The quote is sniffed among '"' and '\'' from the same sample as the
  // delimiter; `quote_char` is then unread.
  bool sniff_quote = false;
};

struct QuarantineRecord {
  std::vector<std::string> raw_fields;  // the row exactly as parsed
  std::string reason;
  std::uint64_t line = 0;  // the parser's line counter right after the row
};

// What one repair run reports, from the core to Python alike.  Every row the
// parser produced is either delivered (written to the output, or handed to
// the reader), as it was or repaired, or quarantined (set aside).
struct RepairReport {
  std::uint64_t total_rows = 0;        // rows the parser produced
  std::uint64_t mendled_rows = 0;      // rows delivered
  std::uint64_t repaired_rows = 0;     // delivered rows that were padded or merged
  std::uint64_t quarantined_rows = 0;  // rows set aside
  std::uint64_t inferred_columns = 0;  // the width applied; 0: no width check
  char32_t detected_delimiter = U',';  // the delimiter applied, as the character of its byte
  char32_t detected_quote = U'"';      // the quote applied (given or sniffed), likewise
  ChangeAccount changes;               // what the run changed, kind by kind
  Encoding encoding = Encoding::Utf8;  // the encoding the input was read in
  Compression compression = Compression::None;  // the format it was decompressed from

  // Counts a parsed row that starts on `first_line`, judged `verdict`, in
  // the counts and the account.
  void count_row(const RowFacts& row, WidthVerdict verdict, std::uint64_t first_line) noexcept {
    count(verdict);
    changes.note_row(row, verdict, first_line);
  }
  // The same for a plain row, whose only changes are its width's (`blank`
  // when it is an empty line).
  void count_plain_row(WidthVerdict verdict, std::uint64_t first_line, bool blank) noexcept {
    count(verdict);
    changes.note_width(verdict, first_line, blank);
  }

  bool operator==(const RepairReport&) const = default;

 private:
  // Counts one row judged so.
  void count(WidthVerdict verdict) noexcept {
    ++total_rows;
    if (!is_delivered(verdict)) {
      ++quarantined_rows;
      return;
    }
    ++mendled_rows;
    if (is_repaired(verdict)) ++repaired_rows;
  }
};

// The header's fields, when the options ask for one and the table has a row.
using Header = std::optional<std::vector<std::string>>;

struct SliceOutcome {
  Header header;  // counted among the delivered rows, but not in `rows`
  RowTable rows;  // delivered rows, in input order
  std::vector<QuarantineRecord> quarantine;
  RepairReport report;
};

// The reference repair: every row parsed into fields, judged, padded,
// merged or set aside, all of it kept.  The file repair and the reader take
// faster roads (plain rows as their bytes); the tests and fuzzers check
// them against this one.
SliceOutcome mendle_slice(std::string_view input, const RepairOptions& options);

struct IndexOutcome {
  Header header;     // counted among the delivered rows, but not in `rows`
  IndexedRows rows;  // delivered rows, in input order
  RepairReport report;
};

// The repair of mendle_slice, for a caller that hands over the whole input:
// plain rows of the right width stay in it, the other delivered rows are
// copied, and quarantined rows are only counted.  The input is released when
// no row refers to it.
IndexOutcome mendle_indexed(ByteBuffer input, const RepairOptions& options);

// ---- the row loop shared by every repair ----

// The delimiter, the quote and the width a repair applies.
struct Dialect {
  unsigned char delimiter = ',';
  unsigned char quote = '"';
  std::uint64_t expected_columns = 0;  // 0: no width check
};

// The given delimiter, quote and width, or those the heuristics find in
// `input`; with a header and no width given, the header's width.  An empty
// input has nothing to judge: ',', the given quote and no width.
Dialect settle_dialect(std::string_view input, const RepairOptions& options);

// The field rules of the options, which every parse of a repair reads with.
inline FieldRules field_rules(const RepairOptions& options) {
  return FieldRules{options.skip_initial_space, options.escape};
}

// A parser over `input`, reading with the dialect's delimiter and quote,
// that stands at the table's start: past a byte-order mark and the
// `skip_rows` lines before the table.
ResilientParser table_parser(std::string_view input, const RepairOptions& options,
                             const Dialect& dialect) noexcept;

// Reads the header, the table's first row that is not blank, into an open
// row of `rows`, passing over comment lines and blank lines (noted in
// `changes`); `first_line` is the line it starts on.  False when the table
// has no such row.
bool next_header(ResilientParser& parser, const RepairOptions& options, RowTable& rows,
                 ChangeAccount& changes, std::uint64_t& first_line);

// A report with no row counted yet, for a run under `dialect`.
RepairReport empty_report(const Dialect& dialect) noexcept;

// Parses every row of `input`, judges its width and counts it in `report`.
// A row that is delivered is brought to the width in the sink's table and
// handed to the sink; any other row becomes a quarantine record.  A sink
// has
//   RowTable& rows();   the table next_row fills, one open row at a time
//   bool deliver(RowTable& rows, const ResilientParser& parser, WidthVerdict verdict);
//                       commits or discards the open row; false stops the run
//   void quarantine(QuarantineRecord&& record);
//   bool deliver_header(RowTable& rows, const ResilientParser& parser);
//                       takes the open row as the header (options.header);
//                       false stops the run
// and, when it can take plain rows (see skim_row) as their bytes alone,
// without their fields:
//   bool takes_plain(const SkimmedRow& row, WidthVerdict verdict);
//   bool deliver_plain(const SkimmedRow& row, WidthVerdict verdict);  false stops the run
template <class Sink>
void repair_rows(std::string_view input, const RepairOptions& options, const Dialect& dialect,
                 RepairReport& report, Sink& sink);

}  // namespace csv_mendle

#include "mendle_rows.inl"
