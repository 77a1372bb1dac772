// Compressed input: the format its first bytes show, and decompression of
// the whole of it into one buffer, from a file descriptor read in chunks or
// from bytes in memory.  Only the package's API asks for it (see
// InputRequest); the backend reads every input's bytes as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "byte_buffer.hpp"
#include "error.hpp"

namespace csv_mendle {

enum class Compression : std::uint8_t { None, Gzip, Bzip2, Xz, Zstd };

// The most bytes a signature takes (xz's six).
inline constexpr std::size_t kSignatureBytes = 6;

// The format whose signature `head` starts with: gzip 1F 8B, bzip2 "BZh"
// and its block-size digit, xz FD "7zXZ" 00, zstd 28 B5 2F FD.  None for
// anything else, a head shorter than the signature included.  No CSV text
// starts so: each holds a control byte or, in bzip2's case, reads
// "BZh1" .. "BZh9".
Compression detect_compression(std::string_view head) noexcept;

// "gzip", "bzip2", "xz", "zstd"; empty for None.
std::string_view compression_name(Compression format) noexcept;

// An input read whole, and the format its bytes were decompressed from
// (None: they are the input's own).
struct RawInput {
  ByteBuffer bytes;
  Compression compression = Compression::None;
};

// Reads `fd` to its end; when its first bytes show a compressed format,
// what they decompress to.  The compressed bytes are read and decompressed
// a chunk at a time, never held whole: the memory held is the decompressed
// input, one read chunk and the decoder's own state.  Concatenated streams
// (several gzip members, bzip2 streams, xz streams, zstd frames) decompress
// one after the other, as `gzip -dc` does; a stream cut short, corrupt, or
// followed by bytes that start none fails (Cause::CorruptGzip ..).  No
// memory for the result fails as OutOfMemory, as for any whole input; so
// does a result larger than the machine's physical memory.
Result<RawInput> read_decompressing(int fd);

// The same for `bytes` in memory: decompressed when compressed, else
// copied.
Result<RawInput> copy_decompressing(std::string_view bytes);

}  // namespace csv_mendle
