// The reference repair: plain and slow on purpose, so that the fast roads
// of the file repair and the reader have something simple to be checked
// against.
#include "mendle.hpp"

namespace csv_mendle {

namespace {

// Once this many rows are kept, the table is reserved for the whole input
// by extrapolating from them.
constexpr std::size_t kSampleRows = 4096;

class SliceSink {
 public:
  SliceSink(SliceOutcome& outcome, std::size_t input_size)
      : outcome_(outcome), input_size_(input_size) {}

  RowTable& rows() noexcept { return outcome_.rows; }
  bool deliver(RowTable& table, const ResilientParser& parser, WidthVerdict) {
    table.commit_row();
    if (table.size() == kSampleRows) {
      table.reserve_by_extrapolation(static_cast<std::size_t>(parser.position), input_size_);
    }
    return true;
  }
  void quarantine(QuarantineRecord&& record) { outcome_.quarantine.push_back(std::move(record)); }
  bool deliver_header(RowTable& table, const ResilientParser&) {
    outcome_.header = detail::take_open_fields(table);
    return true;
  }

 private:
  SliceOutcome& outcome_;
  std::size_t input_size_;
};

}  // namespace

SliceOutcome mendle_slice(std::string_view input, const RepairOptions& options) {
  SliceOutcome outcome;
  const Dialect dialect = settle_dialect(input, options);
  outcome.report = empty_report(dialect);
  // Decoded text is rarely longer than its bytes.
  outcome.rows.text().reserve(input.size());
  SliceSink sink(outcome, input.size());
  repair_rows(input, options, dialect, outcome.report, sink);
  return outcome;
}

}  // namespace csv_mendle
