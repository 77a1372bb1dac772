// File repair: read a whole file, repair it in memory, write the clean CSV
// and the quarantine CSV.  The only place that writes files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "byte_buffer.hpp"
#include "error.hpp"
#include "file_io.hpp"
#include "mendle.hpp"

namespace csv_mendle {

// How the clean CSV is written, beyond the backend's way (the delimiter and
// quote read, LF line ends, no byte-order mark).  The quarantine file is
// written as ever.
struct OutputOptions {
  std::optional<unsigned char> delimiter;  // absent: the delimiter read
  std::optional<unsigned char> quote;      // absent: the quote read
  bool crlf = false;                       // lines end with CR LF
  bool bom = false;                        // the file starts with a UTF-8 byte-order mark
};

// The file at `path`, read whole in the encoding `encoding` settles on
// (UTF-8 unless asked otherwise), repaired in memory by mendle_indexed.
Result<IndexOutcome> mendle_indexed_file(std::string_view path, const RepairOptions& options,
                                         const EncodingRequest& encoding = EncodingRequest{});

// Repairs the file at `input_path`, read in the encoding `encoding` settles
// on (UTF-8 unless asked otherwise), into `output_path`, written as
// `written` says, and, when given, `quarantine_path`.
Result<RepairReport> mendle_file(std::string_view input_path, std::string_view output_path,
                                 std::optional<std::string_view> quarantine_path,
                                 const RepairOptions& options,
                                 const EncodingRequest& encoding = EncodingRequest{},
                                 const OutputOptions& written = OutputOptions{});

}  // namespace csv_mendle
