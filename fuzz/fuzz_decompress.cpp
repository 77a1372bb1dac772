// Fuzzes the decompressors.  The first byte chooses what is checked:
//  even: the rest is an input as it is; read from memory and from a file
//        (the signature read apart, the rest in chunks) it gives the same
//        result or the same error, and plain input comes back unchanged;
//  odd:  the rest, split at the second byte, is compressed in the format the
//        third byte names, as two streams one after the other; it must come
//        back whole.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "compressors.hpp"
#include "decompress.hpp"
#include "file_io.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// `bytes` in an anonymous file, its position at the start.
csv_mendle::UniqueFd memory_file(std::string_view bytes) {
  csv_mendle::UniqueFd fd(::memfd_create("fuzz_decompress", MFD_CLOEXEC));
  check(static_cast<bool>(fd));
  check(::write(fd.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  check(::lseek(fd.get(), 0, SEEK_SET) == 0);
  return fd;
}

void same_from_memory_and_file(std::string_view bytes) {
  // An exact-size copy, so that reads past its end are caught.
  std::string copy(bytes);
  csv_mendle::Result<csv_mendle::RawInput> from_memory =
      csv_mendle::copy_decompressing(copy);
  const csv_mendle::UniqueFd fd = memory_file(bytes);
  csv_mendle::Result<csv_mendle::RawInput> from_file = csv_mendle::read_decompressing(fd.get());
  check(from_memory.ok() == from_file.ok());
  if (!from_memory) {
    check(from_memory.error().cause == from_file.error().cause);
    return;
  }
  check(from_memory.value().compression == csv_mendle::detect_compression(bytes));
  check(from_file.value().compression == from_memory.value().compression);
  check(from_file.value().bytes.view() == from_memory.value().bytes.view());
  if (from_memory.value().compression == csv_mendle::Compression::None) {
    check(from_memory.value().bytes.view() == bytes);
  }
}

void round_trip(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  constexpr csv_mendle::Compression kFormats[] = {
      csv_mendle::Compression::Gzip, csv_mendle::Compression::Bzip2, csv_mendle::Compression::Xz,
      csv_mendle::Compression::Zstd};
  const csv_mendle::Compression format = kFormats[data[1] % std::size(kFormats)];
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::size_t split = data[0] % (text.size() + 1);
  const std::string packed = csv_mendle::reference::compress(format, text.substr(0, split)) +
                             csv_mendle::reference::compress(format, text.substr(split));
  csv_mendle::Result<csv_mendle::RawInput> back = csv_mendle::copy_decompressing(packed);
  check(back.ok());
  check(back.value().compression == format);
  check(back.value().bytes.view() == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    same_from_memory_and_file(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  } else {
    round_trip(data + 1, size - 1);
  }
  return 0;
}
