// SIMD masks of the syntax bytes in the data, sixty-four bytes to a word
// (bit i for byte i): the scans that look for a handful of bytes, and the
// parser's fast paths that walk from one syntax byte to the next, work on
// these masks instead of on every byte.  simd.hpp decides whether they are
// computed with SSE2 (and AVX2) or by the portable loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd.hpp"

namespace csv_mendle {

// ---- windows: where each of a few given bytes occurs ----

// Of a window of 64 bytes: a mask per byte looked for, and whether any byte
// is not ASCII.
inline constexpr std::uint64_t kWindowBytes = 64;

template <std::size_t K>
struct WindowMasks {
  std::uint64_t of[K] = {};  // of[k] marks the bytes equal to targets[k]
  bool high = false;         // a byte of the window is 0x80 or more
};

// The masks of the 64 bytes at `p`, all of which may be read.
template <std::size_t K>
inline WindowMasks<K> full_window_masks(const unsigned char* p,
                                        const unsigned char (&targets)[K]) noexcept {
  WindowMasks<K> masks;
#if defined(CSV_MENDLE_SIMD)
  __m128i high = _mm_setzero_si128();
  for (unsigned part = 0; part < kWindowBytes / 16; ++part) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
    high = _mm_or_si128(high, block);
    for (std::size_t k = 0; k < K; ++k) {
      const __m128i equal = _mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(targets[k])));
      masks.of[k] |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(equal))}
                     << (16 * part);
    }
  }
  masks.high = _mm_movemask_epi8(high) != 0;
#else
  unsigned char high = 0;
  for (unsigned i = 0; i < kWindowBytes; ++i) {
    for (std::size_t k = 0; k < K; ++k) {
      if (p[i] == targets[k]) masks.of[k] |= std::uint64_t{1} << i;
    }
    high |= p[i];
  }
  masks.high = high >= 0x80;
#endif
  return masks;
}

// The masks of the bytes of `d` at [x, min(x + 64, n)), for x < n; bits for
// bytes at or past n are clear.  Nothing at or past d + n is read.
template <std::size_t K>
inline WindowMasks<K> window_masks(const unsigned char* d, std::uint64_t x, std::uint64_t n,
                                   const unsigned char (&targets)[K]) noexcept {
  const std::uint64_t available = n - x;
  if (available >= kWindowBytes) return full_window_masks(d + x, targets);
  // The data's tail: read through a padded copy, its bits past the data cut.
  unsigned char padded[kWindowBytes] = {};
  std::memcpy(padded, d + x, static_cast<std::size_t>(available));
  WindowMasks<K> masks = full_window_masks(padded, targets);
  const std::uint64_t valid = (std::uint64_t{1} << available) - 1;
  for (std::size_t k = 0; k < K; ++k) masks.of[k] &= valid;
  return masks;
}

// Offset of the first byte of `d` in [from, n) that equals one of `bytes`,
// or `n`.  Sixteen bytes at a time while whole blocks remain.
inline std::size_t first_of_four(const unsigned char* d, std::size_t from, std::size_t n,
                                 const unsigned char (&bytes)[4]) noexcept {
#if defined(CSV_MENDLE_SIMD)
  const __m128i b0 = _mm_set1_epi8(static_cast<char>(bytes[0]));
  const __m128i b1 = _mm_set1_epi8(static_cast<char>(bytes[1]));
  const __m128i b2 = _mm_set1_epi8(static_cast<char>(bytes[2]));
  const __m128i b3 = _mm_set1_epi8(static_cast<char>(bytes[3]));
  while (n - from >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + from));
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, b0), _mm_cmpeq_epi8(block, b1)),
                     _mm_or_si128(_mm_cmpeq_epi8(block, b2), _mm_cmpeq_epi8(block, b3)));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return from + static_cast<unsigned>(__builtin_ctz(mask));
    from += 16;
  }
#endif
  for (; from < n; ++from) {
    const unsigned char c = d[from];
    if (c == bytes[0] || c == bytes[1] || c == bytes[2] || c == bytes[3]) return from;
  }
  return n;
}

// Bit i set when an odd number of bits 0..i of `mask` are set.  Of a
// window's quotes: the bytes from each opening quote up to (not including)
// its closing quote, when the window starts outside quotes.
inline std::uint64_t prefix_parity(std::uint64_t mask) noexcept {
  mask ^= mask << 1;
  mask ^= mask << 2;
  mask ^= mask << 4;
  mask ^= mask << 8;
  mask ^= mask << 16;
  mask ^= mask << 32;
  return mask;
}

// ---- rows: where the delimiter, the quote and the first line end fall ----

// The syntax bits of a row, up to its first line end, for the parser's
// fast paths.
struct RowBlocks {
  // Rows longer than this are left to the byte-by-byte parser.
  static constexpr std::size_t kMaxBlocks = 16;
  // Bit i of word k: byte 64k+i is the delimiter or the quote.  Bits at and
  // past the line end are cleared.
  std::uint64_t syntax[kMaxBlocks];
  std::size_t blocks = 0;       // words filled
  std::uint64_t line_end = 0;   // offset of the first CR or LF
  bool ascii = false;           // every byte scanned is below 0x80
};

#if defined(CSV_MENDLE_SIMD)
#define CSV_MENDLE_ROW_BLOCKS 1

// The syntax bits, the line-end bits and whether any byte is 0x80 or above,
// of the 64 bytes at `p`.
struct BlockMasks {
  std::uint64_t syntax;
  std::uint64_t ends;
  bool high;
};

inline BlockMasks block_masks(const unsigned char* p, unsigned char delimiter,
                              unsigned char quote) noexcept {
  const __m128i delimiters = _mm_set1_epi8(static_cast<char>(delimiter));
  const __m128i quotes = _mm_set1_epi8(static_cast<char>(quote));
  const __m128i crs = _mm_set1_epi8('\r');
  const __m128i lfs = _mm_set1_epi8('\n');
  BlockMasks masks{0, 0, false};
  __m128i high = _mm_setzero_si128();
  for (int part = 0; part < 4; ++part) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
    high = _mm_or_si128(high, bytes);
    const __m128i s = _mm_or_si128(_mm_cmpeq_epi8(bytes, delimiters), _mm_cmpeq_epi8(bytes, quotes));
    const __m128i e = _mm_or_si128(_mm_cmpeq_epi8(bytes, crs), _mm_cmpeq_epi8(bytes, lfs));
    masks.syntax |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(s))} << (16 * part);
    masks.ends |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(e))} << (16 * part);
  }
  masks.high = _mm_movemask_epi8(high) != 0;
  return masks;
}

#if defined(CSV_MENDLE_SIMD_AVX2)
#define CSV_MENDLE_ROW_BLOCKS_AVX2 1
// The same, 32 bytes at a time, for processors that have AVX2.
__attribute__((target("avx2"))) inline BlockMasks block_masks_avx2(
    const unsigned char* p, unsigned char delimiter, unsigned char quote) noexcept {
  const __m256i delimiters = _mm256_set1_epi8(static_cast<char>(delimiter));
  const __m256i quotes = _mm256_set1_epi8(static_cast<char>(quote));
  const __m256i crs = _mm256_set1_epi8('\r');
  const __m256i lfs = _mm256_set1_epi8('\n');
  BlockMasks masks{0, 0, false};
  __m256i high = _mm256_setzero_si256();
  for (int part = 0; part < 2; ++part) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * part));
    high = _mm256_or_si256(high, bytes);
    const __m256i s =
        _mm256_or_si256(_mm256_cmpeq_epi8(bytes, delimiters), _mm256_cmpeq_epi8(bytes, quotes));
    const __m256i e = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, crs), _mm256_cmpeq_epi8(bytes, lfs));
    masks.syntax |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(s))} << (32 * part);
    masks.ends |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(e))} << (32 * part);
  }
  masks.high = _mm256_movemask_epi8(high) != 0;
  return masks;
}
#endif

// Scans `row` (with `available` readable bytes from it) in blocks of 64 until
// a block holds a CR or LF, and fills `blocks` up to that block.  Returns
// false when the scan gives up: no line end within kMaxBlocks blocks, or
// fewer than 16 readable bytes past the line end (callers may read and write
// up to 16 bytes past a field, and peek at the byte behind the line end).
template <BlockMasks (*Masks)(const unsigned char*, unsigned char, unsigned char) = block_masks>
inline bool scan_row_blocks(const unsigned char* row, std::uint64_t available,
                            unsigned char delimiter, unsigned char quote,
                            RowBlocks& blocks) noexcept {
  bool high = false;
  for (std::size_t k = 0; k < RowBlocks::kMaxBlocks; ++k) {
    if (available < 64 * (k + 1)) return false;
    const BlockMasks masks = Masks(row + 64 * k, delimiter, quote);
    high = high || masks.high;
    if (masks.ends != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(masks.ends));
      blocks.syntax[k] = masks.syntax & ((std::uint64_t{1} << bit) - 1);
      blocks.blocks = k + 1;
      blocks.line_end = 64 * k + bit;
      blocks.ascii = !high;
      return blocks.line_end + 16 <= available;
    }
    blocks.syntax[k] = masks.syntax;
  }
  return false;
}

#endif  // CSV_MENDLE_SIMD

// Copies `length` bytes sixteen at a time: reads and writes up to 15 bytes
// past the end, which the caller guarantees are there.
// Most fields are shorter than that: their copy is one load and one store.
inline void copy_with_slack(char* to, const unsigned char* from, std::uint64_t length) noexcept {
  std::memcpy(to, from, 16);
  for (std::uint64_t i = 16; i < length; i += 16) std::memcpy(to + i, from + i, 16);
}

}  // namespace csv_mendle
