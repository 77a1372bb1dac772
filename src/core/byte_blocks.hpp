// Sixty-four bytes at a time: where in a window of the data each of a few
// given bytes occurs, as bitmasks (bit i for the window's byte i), and
// whether any byte is not ASCII.  The scans that look for a handful of
// syntax bytes work on these masks instead of the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd.hpp"

namespace csv_mendle {

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

}  // namespace csv_mendle
