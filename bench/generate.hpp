// Deterministic CSV data for the benchmarks: about ten short fields per row,
// some quoted, and optionally a share of damaged rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace csv_mendle::bench {

inline std::string generate_csv(std::size_t target_bytes, double damaged_share,
                                std::uint32_t seed = 42) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> length(2, 12);
  std::uniform_int_distribution<int> letter(0, 35);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const char* alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string out;
  out.reserve(target_bytes + 256);
  auto word = [&] {
    const int n = length(rng);
    for (int i = 0; i < n; ++i) out += alphabet[letter(rng)];
  };
  while (out.size() < target_bytes) {
    const bool damaged = unit(rng) < damaged_share;
    int columns = 10;
    int kind = -1;
    if (damaged) {
      kind = static_cast<int>(unit(rng) * 3);
      if (kind == 0) columns = 6;   // too few fields
      if (kind == 1) columns = 13;  // too many fields
    }
    for (int c = 0; c < columns; ++c) {
      if (c) out += ',';
      if (kind == 2 && c == 4) {
        out += "\"say \"hi\" there\"";  // stray quotes inside a quoted field
      } else if (c == 3) {
        out += '"';
        word();
        out += ", ";
        word();
        out += '"';
      } else {
        word();
      }
    }
    out += '\n';
  }
  return out;
}

// One line of `bytes` bytes: an opening quote, then "x\"y" repeated, so that
// every quote inside the field needs the stray-quote test.
inline std::string stray_quote_line(std::size_t bytes) {
  std::string out = "\"";
  while (out.size() + 3 < bytes) out += "x\"y";
  out += '\n';
  return out;
}

}  // namespace csv_mendle::bench
