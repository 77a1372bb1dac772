// The row loop of a repair; included by mendle.hpp.
#pragma once

#include <concepts>
#include <cstddef>

#include "utf8.hpp"

namespace csv_mendle {

namespace detail {

// Moves the open row's fields out of the table.
std::vector<std::string> take_open_fields(RowTable& rows);

// Moves the open row out of the table into a quarantine record.
QuarantineRecord take_open_row(RowTable& rows, WidthVerdict verdict, std::uint64_t expected,
                               std::uint64_t line);

template <class Sink>
concept TakesPlainRows = requires(Sink& sink, const SkimmedRow& row, WidthVerdict verdict) {
  { sink.takes_plain(row, verdict) } -> std::same_as<bool>;
  { sink.deliver_plain(row, verdict) } -> std::same_as<bool>;
};

// Skimming pays only where rows are plain.  After a run of rows that are
// not (an input with CR LF line ends has none), the next rows are parsed
// without a look, so that such input costs little more than parsing.
class SkimPacing {
 public:
  bool looks() noexcept {
    if (paused_ == 0) return true;
    --paused_;
    return false;
  }
  void hit() noexcept { misses_ = 0; }
  void miss() noexcept {
    if (++misses_ < kMissesBeforePause) return;
    misses_ = 0;
    paused_ = kPausedRows;
  }

 private:
  static constexpr unsigned kMissesBeforePause = 8;
  static constexpr unsigned kPausedRows = 256;
  unsigned misses_ = 0;  // looks in a row that delivered nothing
  unsigned paused_ = 0;  // rows still to parse without a look
};

enum class PlainTurn { Taken, Passed, Stop };

// Offers the next row to the sink as a plain row, when it is one and the
// sink takes it; a row that is taken is counted and passed over.
template <class Sink>
PlainTurn offer_plain_row(ResilientParser& parser, const WidthRule& rule, RepairReport& report,
                          Sink& sink, SkimPacing& pacing) {
  if (!pacing.looks()) return PlainTurn::Passed;
  SkimmedRow plain;
  if (skim_row(parser, plain)) {
    const WidthVerdict verdict = judge_width(rule, plain.fields);
    if (sink.takes_plain(plain, verdict)) {
      pacing.hit();
      report.count_plain_row(verdict, parser.line, plain.text.empty());
      accept_row(parser, plain);
      return sink.deliver_plain(plain, verdict) ? PlainTurn::Taken : PlainTurn::Stop;
    }
  }
  pacing.miss();
  return PlainTurn::Passed;
}

// Reads the header and hands it to the sink, counted as a row delivered
// unchanged; false when the table has none or the sink stops the run.
template <class Sink>
bool take_header(ResilientParser& parser, const RepairOptions& options, RepairReport& report,
                 Sink& sink) {
  RowTable& rows = sink.rows();
  std::uint64_t first_line = 0;
  if (!next_header(parser, options, rows, report.changes, first_line)) return false;
  report.count_row(parser.row, WidthVerdict::Keep, first_line);
  return sink.deliver_header(rows, parser);
}

}  // namespace detail

template <class Sink>
void repair_rows(std::string_view input, const RepairOptions& options, const Dialect& dialect,
                 RepairReport& report, Sink& sink) {
  if (input.empty()) return;
  const WidthRule rule{dialect.expected_columns, options.fill_ragged_rows, options.merge_overflow};
  // Surplus fields are joined with the delimiter as a character.
  const Latin1Char separator = latin1_char(dialect.delimiter);
  ResilientParser parser = table_parser(input, options, dialect);
  RowTable& rows = sink.rows();
  report.changes.bom_removed = bom_offset(input) > 0;
  if (parser.line > 1) report.changes.skipped_lines = ChangeCount{parser.line - 1, 1};
  if (options.header && !detail::take_header(parser, options, report, sink)) return;
  [[maybe_unused]] detail::SkimPacing pacing;
  for (;;) {
    const std::uint64_t first_line = parser.line;
    if (skip_comment_line(parser, options.comment)) {
      report.changes.comment_lines.note(first_line);
      continue;
    }
    if constexpr (detail::TakesPlainRows<Sink>) {
      const detail::PlainTurn turn = detail::offer_plain_row(parser, rule, report, sink, pacing);
      if (turn == detail::PlainTurn::Taken) continue;
      if (turn == detail::PlainTurn::Stop) return;
    }
    if (!next_row(parser, rows)) return;
    const WidthVerdict verdict = judge_width(rule, rows.open_field_count());
    report.count_row(parser.row, verdict, first_line);
    if (!is_delivered(verdict)) {
      sink.quarantine(detail::take_open_row(rows, verdict, rule.expected, parser.line));
      continue;
    }
    apply_width(verdict, rule, rows, separator.view());
    if (!sink.deliver(rows, parser, verdict)) return;
  }
}

}  // namespace csv_mendle
