// File repair: read a whole input, repair it in memory, write the clean CSV
// and the quarantine CSV.  The only place that writes files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "byte_buffer.hpp"
#include "decompress.hpp"
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

// Where a repair's input comes from: the file at a path, or bytes in memory
// that the caller keeps alive, and unchanged, for the whole call.
struct InputSource {
  enum class Kind : std::uint8_t { Path, Bytes };
  Kind kind = Kind::Path;
  std::string_view text;  // the path, or the input's bytes themselves

  static InputSource path(std::string_view path) noexcept { return {Kind::Path, path}; }
  static InputSource bytes(std::string_view bytes) noexcept { return {Kind::Bytes, bytes}; }
};

// How an input is read: in the encoding `encoding` settles on (UTF-8 unless
// asked otherwise), after decompressing it when `decompress` is set and its
// first bytes show gzip, bzip2, xz or zstd.  The backend reads bytes as
// they are; the package's API decompresses.
struct InputRequest {
  EncodingRequest encoding{};
  bool decompress = false;
};

// The input read whole as `request` asks, repaired in memory by
// mendle_indexed.  The report tells the encoding and the compression read.
Result<IndexOutcome> mendle_indexed_file(const InputSource& input, const RepairOptions& options,
                                         const InputRequest& request = InputRequest{});

// Repairs the input, read whole as `request` asks, into `output_path`,
// written in the `form` asked for, and, when given, `quarantine_path`.  Nothing
// is created when the input cannot be read (a compressed one that is
// corrupt included).
Result<RepairReport> mendle_file(const InputSource& input, std::string_view output_path,
                                 std::optional<std::string_view> quarantine_path,
                                 const RepairOptions& options,
                                 const InputRequest& request = InputRequest{},
                                 const OutputOptions& form = OutputOptions{});

}  // namespace csv_mendle
