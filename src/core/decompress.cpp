#include "decompress.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "file_io.hpp"
#include "memory_limit.hpp"

namespace csv_mendle {

namespace {

using Cause = MendleError::Cause;

// Compressed bytes are read from a file this many at a time.
constexpr std::size_t kReadChunk = 256 * 1024;
// The output always has this much room before a decoder step.
constexpr std::size_t kMinRoom = 64 * 1024;
// CSV text compresses about this well or better; the output's first
// allocation is the compressed size times this, and grows by doubling.
constexpr std::size_t kFirstRatio = 4;
// The libraries count in 32-bit words: a step takes at most this much.
constexpr std::size_t kMostPerStep = UINT_MAX;

MendleError corrupt(Compression format) noexcept {
  switch (format) {
    case Compression::Bzip2: return MendleError::of(Cause::CorruptBzip2);
    case Compression::Xz: return MendleError::of(Cause::CorruptXz);
    case Compression::Zstd: return MendleError::of(Cause::CorruptZstd);
    case Compression::Gzip:
    case Compression::None: break;
  }
  return MendleError::of(Cause::CorruptGzip);
}

// ---- the compressed bytes, piece by piece ----

// `head`, then the rest of `fd` read a chunk at a time, the head in the
// first chunk; or, without a file, `head` alone (bytes in memory).  The
// head goes to the decoder with what follows it, not alone: libzstd checks
// a frame's declared size when a frame header comes with its first block.
class Pieces {
 public:
  Pieces(std::string_view head, int fd) : head_(head), fd_(fd) {}

  // The next piece, empty at the end.
  Result<std::string_view> next() {
    if (fd_ < 0) return std::exchange(head_, std::string_view{});
    if (!chunk_) chunk_ = std::make_unique_for_overwrite<char[]>(kReadChunk);
    const std::size_t start = head_.size();  // at most kSignatureBytes
    if (start != 0) std::memcpy(chunk_.get(), head_.data(), start);
    head_ = {};
    Result<std::size_t> got = read_up_to(fd_, chunk_.get() + start, kReadChunk - start);
    if (!got) return got.error();
    return std::string_view(chunk_.get(), start + got.value());
  }

 private:
  std::string_view head_;
  int fd_;
  std::unique_ptr<char[]> chunk_;
};

// ---- one decoder per format ----

// Each decoder turns some of `in` into some of `out`, advancing both, and
// says how that went.  `finish`: no input follows `in`.
enum class Step { Going, StreamEnd, Corrupt, NoMemory };

struct Spans {
  std::string_view in;
  char* out;
  std::size_t room;
};

class GzipDecoder {
 public:
  GzipDecoder() { ready_ = inflateInit2(&z_, 15 + 16) == Z_OK; }  // gzip framing only
  ~GzipDecoder() {
    if (ready_) inflateEnd(&z_);
  }
  bool ready() const noexcept { return ready_; }
  // Readies the decoder for the next member.
  bool restart() noexcept { return inflateReset(&z_) == Z_OK; }
  Step step(Spans& s, bool) noexcept {
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(s.in.data()));
    z_.avail_in = static_cast<uInt>(std::min(s.in.size(), kMostPerStep));
    z_.next_out = reinterpret_cast<Bytef*>(s.out);
    z_.avail_out = static_cast<uInt>(std::min(s.room, kMostPerStep));
    const uInt in_before = z_.avail_in, out_before = z_.avail_out;
    const int status = inflate(&z_, Z_NO_FLUSH);
    s.in.remove_prefix(in_before - z_.avail_in);
    s.out += out_before - z_.avail_out;
    s.room -= out_before - z_.avail_out;
    if (status == Z_STREAM_END) return Step::StreamEnd;
    if (status == Z_OK || status == Z_BUF_ERROR) return Step::Going;
    return status == Z_MEM_ERROR ? Step::NoMemory : Step::Corrupt;
  }

 private:
  z_stream z_{};
  bool ready_ = false;
};

class Bzip2Decoder {
 public:
  Bzip2Decoder() { ready_ = BZ2_bzDecompressInit(&b_, 0, 0) == BZ_OK; }
  ~Bzip2Decoder() {
    if (ready_) BZ2_bzDecompressEnd(&b_);
  }
  bool ready() const noexcept { return ready_; }
  // Readies the decoder for the next stream.
  bool restart() noexcept {
    BZ2_bzDecompressEnd(&b_);
    b_ = bz_stream{};
    ready_ = BZ2_bzDecompressInit(&b_, 0, 0) == BZ_OK;
    return ready_;
  }
  Step step(Spans& s, bool) noexcept {
    b_.next_in = const_cast<char*>(s.in.data());
    b_.avail_in = static_cast<unsigned>(std::min(s.in.size(), kMostPerStep));
    b_.next_out = s.out;
    b_.avail_out = static_cast<unsigned>(std::min(s.room, kMostPerStep));
    const unsigned in_before = b_.avail_in, out_before = b_.avail_out;
    const int status = BZ2_bzDecompress(&b_);
    s.in.remove_prefix(in_before - b_.avail_in);
    s.out += out_before - b_.avail_out;
    s.room -= out_before - b_.avail_out;
    if (status == BZ_STREAM_END) return Step::StreamEnd;
    if (status == BZ_OK) return Step::Going;
    return status == BZ_MEM_ERROR ? Step::NoMemory : Step::Corrupt;
  }

 private:
  bz_stream b_{};
  bool ready_ = false;
};

// liblzma reads concatenated streams (and the padding between them) itself,
// and reports the end only when told that no input follows.
class XzDecoder {
 public:
  XzDecoder() { ready_ = lzma_stream_decoder(&x_, UINT64_MAX, LZMA_CONCATENATED) == LZMA_OK; }
  ~XzDecoder() { lzma_end(&x_); }
  bool ready() const noexcept { return ready_; }
  bool restart() noexcept { return true; }
  Step step(Spans& s, bool finish) noexcept {
    x_.next_in = reinterpret_cast<const std::uint8_t*>(s.in.data());
    x_.avail_in = s.in.size();
    x_.next_out = reinterpret_cast<std::uint8_t*>(s.out);
    x_.avail_out = s.room;
    const lzma_ret status = lzma_code(&x_, finish ? LZMA_FINISH : LZMA_RUN);
    s.in.remove_prefix(s.in.size() - x_.avail_in);
    s.out += s.room - x_.avail_out;
    s.room = x_.avail_out;
    if (status == LZMA_STREAM_END) return Step::StreamEnd;
    if (status == LZMA_OK || status == LZMA_BUF_ERROR) return Step::Going;
    return status == LZMA_MEM_ERROR || status == LZMA_MEMLIMIT_ERROR ? Step::NoMemory
                                                                      : Step::Corrupt;
  }

 private:
  lzma_stream x_ = LZMA_STREAM_INIT;
  bool ready_ = false;
};

// A zstd context goes on to the next frame by itself.  Its window stays
// within libzstd's default limit (128 MiB), as `zstd -d` keeps it: a frame
// header of a few bytes may ask for 2 GiB, allocated before any data.  A
// frame that needs more (made with --long=28 or above) fails as
// OutOfMemory.
class ZstdDecoder {
 public:
  ZstdDecoder() : z_(ZSTD_createDCtx()) {}
  ~ZstdDecoder() { ZSTD_freeDCtx(z_); }
  bool ready() const noexcept { return z_ != nullptr; }
  bool restart() noexcept { return true; }
  Step step(Spans& s, bool) noexcept {
    ZSTD_inBuffer in{s.in.data(), s.in.size(), 0};
    ZSTD_outBuffer out{s.out, s.room, 0};
    const std::size_t status = ZSTD_decompressStream(z_, &out, &in);
    s.in.remove_prefix(in.pos);
    s.out += out.pos;
    s.room -= out.pos;
    if (ZSTD_isError(status)) {
      const ZSTD_ErrorCode code = ZSTD_getErrorCode(status);
      return code == ZSTD_error_memory_allocation || code == ZSTD_error_frameParameter_windowTooLarge
                 ? Step::NoMemory
                 : Step::Corrupt;
    }
    return status == 0 ? Step::StreamEnd : Step::Going;
  }

 private:
  ZSTD_DCtx* z_;
};

// ---- the output ----

// Makes room for at least kMinRoom more bytes: false when no memory can be
// had, or the output would outgrow the machine's memory (a decompression
// bomb fails here rather than in the OOM killer).
bool make_room(ByteBuffer& out) noexcept {
  if (out.capacity() - out.size() >= kMinRoom) return true;
  const std::size_t limit = std::min<std::uint64_t>(physical_memory_bytes(), SIZE_MAX / 2);
  if (out.capacity() >= limit) return false;
  const std::size_t grown = std::max(out.capacity() * 2, out.size() + kMinRoom);
  try {
    out.reserve(std::min(grown, limit));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return out.capacity() - out.size() >= kMinRoom;
}

// Decompresses every piece: stream after stream, until the pieces end right
// after one.
template <class Decoder>
Result<ByteBuffer> decompress_all(Pieces& pieces, Compression format, std::size_t compressed) {
  const MendleError out_of_memory = MendleError::of(Cause::OutOfMemory);
  Decoder decoder;
  if (!decoder.ready()) return out_of_memory;
  ByteBuffer out;
  if (compressed < SIZE_MAX / kFirstRatio) {
    try {
      out.reserve(std::max(compressed * kFirstRatio, kMinRoom));
    } catch (const std::bad_alloc&) {
      // make_room tries again, in smaller steps.
    }
  }
  std::string_view input;
  bool at_end = false, stream_ended = false;
  for (;;) {
    if (input.empty() && !at_end) {
      Result<std::string_view> piece = pieces.next();
      if (!piece) return piece.error();
      input = piece.value();
      at_end = input.empty();
    }
    if (input.empty() && at_end && stream_ended) return out;
    if (stream_ended) {
      // Bytes follow the end of a stream: they must start the next one.
      if (!decoder.restart()) return out_of_memory;
      stream_ended = false;
    }
    if (!make_room(out)) return out_of_memory;
    Spans spans{input, out.data() + out.size(), out.capacity() - out.size()};
    const Step step = decoder.step(spans, at_end);
    const bool moved = spans.in.size() != input.size() || spans.out != out.data() + out.size();
    out.set_size(static_cast<std::size_t>(spans.out - out.data()));
    input = spans.in;
    if (step == Step::NoMemory) return out_of_memory;
    if (step == Step::Corrupt) return corrupt(format);
    if (step == Step::StreamEnd) {
      stream_ended = true;
    } else if (!moved) {
      // With room to write and input to read (or none to come), a decoder
      // that does neither has met the end of the input inside a stream.
      return corrupt(format);
    }
  }
}

Result<ByteBuffer> decompress_pieces(Pieces& pieces, Compression format, std::size_t compressed) {
  switch (format) {
    case Compression::Gzip: return decompress_all<GzipDecoder>(pieces, format, compressed);
    case Compression::Bzip2: return decompress_all<Bzip2Decoder>(pieces, format, compressed);
    case Compression::Xz: return decompress_all<XzDecoder>(pieces, format, compressed);
    case Compression::Zstd: return decompress_all<ZstdDecoder>(pieces, format, compressed);
    case Compression::None: break;
  }
  return corrupt(format);
}

Result<RawInput> raw(Result<ByteBuffer> bytes, Compression format) {
  if (!bytes) return bytes.error();
  return RawInput{std::move(bytes).value(), format};
}

}  // namespace

Compression detect_compression(std::string_view head) noexcept {
  if (head.starts_with("\x1F\x8B")) return Compression::Gzip;
  if (head.size() >= 4 && head.starts_with("BZh") && head[3] >= '1' && head[3] <= '9') {
    return Compression::Bzip2;
  }
  if (head.starts_with(std::string_view("\xFD" "7zXZ\0", 6))) return Compression::Xz;
  if (head.starts_with("\x28\xB5\x2F\xFD")) return Compression::Zstd;
  return Compression::None;
}

std::string_view compression_name(Compression format) noexcept {
  switch (format) {
    case Compression::Gzip: return "gzip";
    case Compression::Bzip2: return "bzip2";
    case Compression::Xz: return "xz";
    case Compression::Zstd: return "zstd";
    case Compression::None: break;
  }
  return {};
}

Result<RawInput> read_decompressing(int fd) {
  // Only the signature is read before the choice: a plain input goes on
  // into read_all's one buffer, sized by the file, as if nothing happened.
  char head[kSignatureBytes];
  Result<std::size_t> got = read_up_to(fd, head, sizeof head);
  if (!got) return got.error();
  const std::string_view start(head, got.value());
  const Compression format = detect_compression(start);
  if (format == Compression::None) return raw(read_all(fd, start), format);
  Pieces pieces(start, fd);
  return raw(decompress_pieces(pieces, format, file_size_hint(fd)), format);
}

Result<RawInput> copy_decompressing(std::string_view bytes) {
  const Compression format = detect_compression(bytes);
  if (format != Compression::None) {
    Pieces pieces(bytes, -1);
    return raw(decompress_pieces(pieces, format, bytes.size()), format);
  }
  return raw(copy_all(bytes), format);
}

}  // namespace csv_mendle
