#include "change_account.hpp"

#include <algorithm>

namespace csv_mendle {

void ChangeAccount::note_unclosed(const RowFacts& row, std::uint64_t first_line) noexcept {
  // Within a row, every LF stands inside a quoted field and counts as a line.
  const std::string_view before = row.bytes.substr(0, row.unclosed_at);
  const std::string_view inside = row.bytes.substr(row.unclosed_at);
  unclosed_quote.note(first_line + static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n')));
  // CR LF, a lone CR and a lone LF are one line break each.
  std::uint64_t breaks = 0;
  for (std::size_t i = 0; i < inside.size(); ++i) {
    if (inside[i] == '\n' || (inside[i] == '\r' && (i + 1 == inside.size() || inside[i + 1] != '\n'))) {
      ++breaks;
    }
  }
  absorbed_lines += breaks;
}

}  // namespace csv_mendle
