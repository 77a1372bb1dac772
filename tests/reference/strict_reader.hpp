// A strict RFC-4180 reader for reading written CSV back: it accepts only
// what a correct writer produces, so a read-back that succeeds and gives the
// rows that were written shows the writer quoted exactly enough.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace csv_mendle::reference {

using Record = std::vector<std::string>;

// The records of `text` for a delimiter D and a quote Q given as their UTF-8
// forms (neither empty, different, and neither CR nor LF), with LF as the
// only line end.  Every record ends with LF; an empty line is the record of
// one empty field.  A quoted field runs to a Q that is not doubled and must
// be followed by D or the line end; a bare field may hold neither Q nor CR.
// Nothing when the text breaks one of these rules.
inline std::optional<std::vector<Record>> read_strict(std::string_view text, std::string_view d,
                                                      std::string_view q) {
  std::vector<Record> records;
  std::size_t i = 0;
  const auto at = [&](std::string_view token) { return text.substr(i, token.size()) == token; };
  while (i < text.size()) {
    Record record;
    for (;;) {  // one field per pass
      std::string field;
      if (at(q)) {
        i += q.size();
        for (;;) {
          if (i >= text.size()) return std::nullopt;  // unclosed quote
          if (at(q)) {
            i += q.size();
            if (!at(q)) break;  // the closing quote
            field.append(q);    // a doubled quote stands for one
            i += q.size();
          } else {
            field.push_back(text[i++]);
          }
        }
        if (!at(d) && !at("\n")) return std::nullopt;  // text after the closing quote
      } else {
        while (i < text.size() && !at(d) && !at("\n")) {
          if (at(q) || text[i] == '\r') return std::nullopt;  // would need quoting
          field.push_back(text[i++]);
        }
        if (i >= text.size()) return std::nullopt;  // no LF after the last record
      }
      record.push_back(std::move(field));
      if (at(d)) {
        i += d.size();
        continue;
      }
      ++i;  // the LF
      break;
    }
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace csv_mendle::reference
