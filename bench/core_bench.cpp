// Throughput of the core: the parser alone, the in-memory repair, and the
// delimiter sniffing that precedes every repair without an explicit delimiter.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "generate.hpp"
#include "heuristics.hpp"
#include "mendle.hpp"
#include "parser.hpp"

namespace csv_mendle {
namespace {

constexpr std::size_t kDataBytes = 100u << 20;

const std::string& clean_data() {
  static const std::string data = bench::generate_csv(kDataBytes, 0.0);
  return data;
}
const std::string& damaged_data() {
  static const std::string data = bench::generate_csv(kDataBytes, 0.05);
  return data;
}

std::size_t parse_all(const std::string& data) {
  ResilientParser parser = make_parser(data, ',', '"', true);
  RowTable table;
  std::size_t rows = 0;
  while (next_row(parser, table)) {
    table.clear();
    ++rows;
  }
  return rows;
}

void run_parser(benchmark::State& state, const std::string& data) {
  for (auto _ : state) benchmark::DoNotOptimize(parse_all(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_parser_clean(benchmark::State& state) { run_parser(state, clean_data()); }
void BM_parser_damaged(benchmark::State& state) { run_parser(state, damaged_data()); }

// One long line full of stray quotes: time must grow linearly with its length.
void BM_parser_stray_quote_line(benchmark::State& state) {
  const std::string data = bench::stray_quote_line(static_cast<std::size_t>(state.range(0)) << 20);
  run_parser(state, data);
}

void run_slice(benchmark::State& state, const std::string& data) {
  std::size_t outcome_bytes = 0;
  for (auto _ : state) {
    SliceOutcome outcome = mendle_slice(data, RepairOptions{});
    outcome_bytes = outcome.rows.memory_bytes();
    for (const auto& q : outcome.quarantine) {
      outcome_bytes += sizeof q + q.reason.capacity();
      for (const auto& f : q.raw_fields) outcome_bytes += sizeof f + f.capacity();
    }
    benchmark::DoNotOptimize(outcome);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["outcome_over_input"] =
      static_cast<double>(outcome_bytes) / static_cast<double>(data.size());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The reader's repair, which takes the input over: each round copies it
// into a fresh buffer first, as reading the file would.
void run_indexed(benchmark::State& state, const std::string& data) {
  std::size_t outcome_bytes = 0;
  for (auto _ : state) {
    ByteBuffer input(data.size());
    std::memcpy(input.data(), data.data(), data.size());
    input.set_size(data.size());
    IndexOutcome outcome = mendle_indexed(std::move(input), RepairOptions{});
    outcome_bytes = memory_bytes(outcome.rows);
    benchmark::DoNotOptimize(outcome);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["outcome_over_input"] =
      static_cast<double>(outcome_bytes) / static_cast<double>(data.size());
}

void BM_mendle_slice_clean(benchmark::State& state) { run_slice(state, clean_data()); }
void BM_mendle_slice_damaged(benchmark::State& state) { run_slice(state, damaged_data()); }
void BM_mendle_indexed_damaged(benchmark::State& state) { run_indexed(state, damaged_data()); }

// The first 64 KB of the damaged data, as a caller sniffing a file's first
// block would pass it.  No bytes-per-second figure: sniffing stops after a
// few dozen rows per candidate, however long the sample.
void BM_sniff_delimiter(benchmark::State& state) {
  const std::string_view sample = std::string_view(damaged_data()).substr(0, 64u << 10);
  for (auto _ : state) {
    unsigned char delimiter = sniff_delimiter(sample);
    benchmark::DoNotOptimize(delimiter);
    if (delimiter != ',') {
      state.SkipWithError("sniffed a delimiter other than ','");
      break;
    }
  }
}

BENCHMARK(BM_parser_clean)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_parser_damaged)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_parser_stray_quote_line)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mendle_slice_clean)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_mendle_slice_damaged)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_sniff_delimiter)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_mendle_indexed_damaged)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace csv_mendle

BENCHMARK_MAIN();
