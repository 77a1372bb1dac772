// Compressing with each library, for holding the decompressor to round
// trips: whatever is compressed must come back byte for byte.
#pragma once

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "decompress.hpp"

namespace csv_mendle::reference {

inline std::string gzip(std::string_view data) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (status != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

inline std::string bzip2(std::string_view data) {
  unsigned size = static_cast<unsigned>(data.size() + data.size() / 100 + 600);
  std::string out(size, '\0');
  if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                               static_cast<unsigned>(data.size()), 1, 0, 0) != BZ_OK) {
    throw std::runtime_error("BZ2_bzBuffToBuffCompress");
  }
  out.resize(size);
  return out;
}

inline std::string xz(std::string_view data) {
  std::string out(lzma_stream_buffer_bound(data.size()), '\0');
  std::size_t size = 0;
  if (lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr,
                              reinterpret_cast<const std::uint8_t*>(data.data()), data.size(),
                              reinterpret_cast<std::uint8_t*>(out.data()), &size,
                              out.size()) != LZMA_OK) {
    throw std::runtime_error("lzma_easy_buffer_encode");
  }
  out.resize(size);
  return out;
}

// With a checksum, as the zstd tool writes frames: without one, damage to
// the data may decode to other bytes unnoticed.
inline std::string zstd(std::string_view data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  ZSTD_CCtx* context = ZSTD_createCCtx();
  if (context == nullptr) throw std::runtime_error("ZSTD_createCCtx");
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  const std::size_t size = ZSTD_compress2(context, out.data(), out.size(), data.data(), data.size());
  ZSTD_freeCCtx(context);
  if (ZSTD_isError(size)) throw std::runtime_error("ZSTD_compress2");
  out.resize(size);
  return out;
}

inline std::string compress(Compression format, std::string_view data) {
  switch (format) {
    case Compression::Gzip: return gzip(data);
    case Compression::Bzip2: return bzip2(data);
    case Compression::Xz: return xz(data);
    case Compression::Zstd: return zstd(data);
    case Compression::None: break;
  }
  return std::string(data);
}

}  // namespace csv_mendle::reference
