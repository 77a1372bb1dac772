// The reference repair: plain and slow on purpose, so that the fast roads
// of the file repair and the reader have something simple to be checked
// against.
#include "mendle.hpp"

namespace csv_mendle {

namespace {

class SliceSink {
 public:
  explicit SliceSink(SliceOutcome& outcome) : outcome_(outcome) {}

  RowTable& rows() noexcept { return outcome_.rows; }
  bool deliver(RowTable& table, const ResilientParser&, WidthVerdict) {
    table.commit_row();
    return true;
  }
  void quarantine(QuarantineRecord&& record) { outcome_.quarantine.push_back(std::move(record)); }

 private:
  SliceOutcome& outcome_;
};

}  // namespace

SliceOutcome mendle_slice(std::string_view input, const RepairOptions& options) {
  SliceOutcome outcome;
  const Dialect dialect = settle_dialect(input, options);
  outcome.report = empty_report(dialect);
  // Decoded text is rarely longer than its bytes.
  outcome.rows.text().reserve(input.size());
  SliceSink sink(outcome);
  repair_rows(input, options, dialect, outcome.report, sink);
  return outcome;
}

}  // namespace csv_mendle
