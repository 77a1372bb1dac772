// Fuzzes the dialect heuristics: sniffing always answers one of the four
// candidates, and neither heuristic is swayed by a leading byte-order mark or
// by a blank line in front of the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "heuristics.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

constexpr std::string_view bom = "\xEF\xBB\xBF";

// Lines that every candidate reads as one blank field.
constexpr std::string_view blank_lines[] = {"\n", "\r\n", " \n", "\xC2\xA0\r", "\xE3\x80\x80\n"};

// The heuristics over a private copy of exactly `text`'s size, so that reads
// past its end are caught.
struct Verdict {
  unsigned char delimiter;
  std::uint64_t columns;
  bool operator==(const Verdict&) const = default;
};

Verdict judge(std::string_view text) {
  std::unique_ptr<char[]> copy(new char[text.empty() ? 1 : text.size()]);
  if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size());
  const std::string_view data(copy.get(), text.size());
  const unsigned char delimiter = csv_mendle::sniff_delimiter(data);
  check(delimiter == ',' || delimiter == ';' || delimiter == '\t' || delimiter == '|');
  return {delimiter, csv_mendle::infer_column_count(data, delimiter)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  const Verdict plain = judge(data);
  if (data.empty()) check(plain == Verdict{',', 0});

  // Data that starts with a mark of its own would keep a second one as text.
  if (data.substr(0, 3) == bom) return 0;
  check(judge(std::string(bom) + std::string(data)) == plain);
  // The first byte picks a blank line; a lone CR must not swallow an LF
  // that starts the data.
  const std::string_view blank = blank_lines[size == 0 ? 0 : bytes[0] % std::size(blank_lines)];
  if (blank.back() == '\r' && data.substr(0, 1) == "\n") return 0;
  check(judge(std::string(blank) + std::string(data)) == plain);
  check(judge(std::string(bom) + std::string(blank) + std::string(data)) == plain);
  return 0;
}
