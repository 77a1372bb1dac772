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


// The file at `path`, read whole in the encoding `encoding` settles on
// (UTF-8 unless asked otherwise), repaired in memory by mendle_indexed.
Result<IndexOutcome> mendle_indexed_file(std::string_view path, const RepairOptions& options,
                                         const EncodingRequest& encoding = EncodingRequest{});

// Repairs the file at `input_path`, read in the encoding `encoding` settles
// on (UTF-8 unless asked otherwise), into `output_path` and, when given,
// `quarantine_path`.
Result<RepairReport> mendle_file(std::string_view input_path, std::string_view output_path,
                                 std::optional<std::string_view> quarantine_path,
                                 const RepairOptions& options,
                                 const EncodingRequest& encoding = EncodingRequest{});

}  // namespace csv_mendle
