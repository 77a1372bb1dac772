#include "simd_masks.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace csv_mendle {
namespace {

#if defined(CSV_MENDLE_ROW_BLOCKS)

// The masks of 64 bytes, byte by byte.
BlockMasks reference_masks(const unsigned char* p, unsigned char delimiter, unsigned char quote) {
  BlockMasks masks{0, 0, false};
  for (int i = 0; i < 64; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (p[i] == delimiter || p[i] == quote) masks.syntax |= bit;
    if (p[i] == '\r' || p[i] == '\n') masks.ends |= bit;
    if (p[i] >= 0x80) masks.high = true;
  }
  return masks;
}

// Both vector widths mark exactly the bytes a byte loop marks: the 16-byte
// form is what machines without AVX2 run, so it is checked here even where
// the parser itself takes the 32-byte one.
TEST(simd_masks, block_masks_mark_exactly_the_syntax_bytes) {
  const unsigned char alphabet[] = {'a', ',', ';', '"', '\'', '\r', '\n', '\t', 0x80, 0xC3, 0xFF, 0};
  std::mt19937 rng(5);
  unsigned char block[64];
  for (int round = 0; round < 20000; ++round) {
    for (unsigned char& b : block) b = alphabet[rng() % sizeof alphabet];
    const unsigned char delimiter = alphabet[rng() % 3];
    const unsigned char quote = round % 2 ? '"' : '\'';
    const BlockMasks want = reference_masks(block, delimiter, quote);
    const BlockMasks narrow = block_masks(block, delimiter, quote);
    EXPECT_EQ(narrow.syntax, want.syntax);
    EXPECT_EQ(narrow.ends, want.ends);
    EXPECT_EQ(narrow.high, want.high);
#if defined(CSV_MENDLE_ROW_BLOCKS_AVX2)
    if (__builtin_cpu_supports("avx2")) {
      const BlockMasks wide = block_masks_avx2(block, delimiter, quote);
      EXPECT_EQ(wide.syntax, want.syntax);
      EXPECT_EQ(wide.ends, want.ends);
      EXPECT_EQ(wide.high, want.high);
    }
#endif
    if (HasFailure()) return;
  }
}

// The scan stops at the first line end, clears the syntax bits from there
// on, and gives up unless 16 readable bytes follow the line end and the line
// ends within the blocks it may look at.
TEST(simd_masks, scan_finds_the_first_line_end_and_keeps_its_margins) {
  const auto scan = [](const std::string& bytes, std::uint64_t available, RowBlocks& blocks) {
    return scan_row_blocks(reinterpret_cast<const unsigned char*>(bytes.data()), available, ',',
                           '"', blocks);
  };
  RowBlocks blocks;
  for (std::size_t end : {0u, 1u, 62u, 63u, 64u, 65u, 127u, 128u, 500u}) {
    std::string row(end, 'x');
    if (end > 0) row[0] = ',';
    row += "\n,\"";
    row.resize(end + 200, ',');
    ASSERT_TRUE(scan(row, row.size(), blocks)) << end;
    EXPECT_EQ(blocks.line_end, end);
    EXPECT_EQ(blocks.blocks, end / 64 + 1);
    // Only the delimiter at 0 (when it is not the line end) stays marked.
    std::uint64_t marked = 0;
    for (std::size_t k = 0; k < blocks.blocks; ++k) marked += __builtin_popcountll(blocks.syntax[k]);
    EXPECT_EQ(marked, end > 0 ? 1u : 0u) << end;
    // Sixteen bytes behind the line end are needed, and the whole block.
    const std::uint64_t need = std::max<std::uint64_t>(end + 16, 64 * (end / 64 + 1));
    EXPECT_TRUE(scan(row, need, blocks)) << end;
    EXPECT_FALSE(scan(row, need - 1, blocks)) << end;
  }
  const std::string long_row(RowBlocks::kMaxBlocks * 64 + 100, 'y');
  EXPECT_FALSE(scan(long_row, long_row.size(), blocks));
}

#endif

}  // namespace
}  // namespace csv_mendle
