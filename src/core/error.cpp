#include "error.hpp"

#include <cstring>

namespace csv_mendle {

std::string MendleError::text() const {
  switch (cause) {
    case Cause::NulInPath:
      return "file name contained an unexpected NUL byte";
    case Cause::WriteWhole:
      return "failed to write whole buffer";
    case Cause::WriteBuffered:
      return "failed to write the buffered data";
    case Cause::OutOfMemory:
      return "out of memory";
    case Cause::QuarantineIsOutput:
      return "quarantine_path names the same file as output_path";
    case Cause::OddUtf16Length:
      return "UTF-16 input has an odd number of bytes";
    case Cause::BadUtf32Length:
      return "UTF-32 input's length is not a multiple of 4 bytes";
    case Cause::OutputQuoteIsDelimiter:
      return "the output's delimiter and quote character are the same";
    case Cause::CorruptGzip:
      return "truncated or corrupt gzip data";
    case Cause::CorruptBzip2:
      return "truncated or corrupt bzip2 data";
    case Cause::CorruptXz:
      return "truncated or corrupt xz data";
    case Cause::CorruptZstd:
      return "truncated or corrupt zstd data";
    case Cause::Os:
      break;
  }
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be `buffer`.
  const char* description = strerror_r(os_error, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(os_error) + ")";
}

}  // namespace csv_mendle
