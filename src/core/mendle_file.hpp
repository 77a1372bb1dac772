// File repair: read a whole file, repair it in memory, write the clean CSV
// and the quarantine CSV.  The only place that writes files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "byte_buffer.hpp"
#include "error.hpp"
#include "mendle.hpp"

namespace csv_mendle {


// Reads the whole file at `path` (a path with a NUL byte fails before any
// system call).
Result<ByteBuffer> read_whole_file(std::string_view path);

Result<RepairReport> mendle_file(std::string_view input_path, std::string_view output_path,
                                 std::optional<std::string_view> quarantine_path,
                                 const RepairOptions& options);

}  // namespace csv_mendle
