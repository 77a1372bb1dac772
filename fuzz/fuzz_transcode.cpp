// Fuzzes the transcoders: every encoding turns any bytes of a whole number
// of its code units into valid UTF-8, refuses any other length, and agrees
// with a byte-by-byte reading for the one-byte encodings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "transcode.hpp"
#include "utf8.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

constexpr csv_mendle::Encoding kEncodings[] = {
    csv_mendle::Encoding::Utf8,    csv_mendle::Encoding::Cp1252,  csv_mendle::Encoding::Latin1,
    csv_mendle::Encoding::Utf16Le, csv_mendle::Encoding::Utf16Be, csv_mendle::Encoding::Utf32Le,
    csv_mendle::Encoding::Utf32Be,
};

// A buffer of exactly `bytes`' size, so that reads past its end are caught.
csv_mendle::ByteBuffer exact_copy(std::string_view bytes) {
  csv_mendle::ByteBuffer buffer(bytes.size());
  if (!bytes.empty()) std::memcpy(buffer.data(), bytes.data(), bytes.size());
  buffer.set_size(bytes.size());
  return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const csv_mendle::Encoding encoding = kEncodings[data[0] % std::size(kEncodings)];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  csv_mendle::Result<csv_mendle::ByteBuffer> out =
      csv_mendle::transcode_to_utf8(exact_copy(bytes), encoding);
  const std::size_t unit = encoding == csv_mendle::Encoding::Utf16Le ||
                                   encoding == csv_mendle::Encoding::Utf16Be
                               ? 2
                           : encoding == csv_mendle::Encoding::Utf32Le ||
                                   encoding == csv_mendle::Encoding::Utf32Be
                               ? 4
                               : 1;
  check(out.ok() == (bytes.size() % unit == 0));
  if (!out) return 0;
  const std::string_view text = out.value().view();
  if (encoding == csv_mendle::Encoding::Utf8) {
    check(text == bytes);
    return 0;
  }
  check(csv_mendle::is_valid_utf8(text));
  if (unit == 1) {
    // One byte, one character: the whole is the sum of its bytes.
    std::string joined;
    for (const char c : bytes) {
      csv_mendle::Result<csv_mendle::ByteBuffer> one =
          csv_mendle::transcode_to_utf8(exact_copy(std::string_view(&c, 1)), encoding);
      check(one.ok());
      joined += one.value().view();
    }
    check(text == joined);
  }
  return 0;
}
