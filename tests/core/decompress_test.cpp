// Compressed input: each format decompressed from a file, a pipe and
// memory, across read chunks and concatenated streams; every damage a
// failure of that format; and the file repair reading it only when asked.
#include "decompress.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <thread>

#include "compressors.hpp"
#include "mendle_file.hpp"
#include "temp_dir.hpp"

namespace csv_mendle {
namespace {

using testing::slurp;
using testing::spill;
using testing::TempDir;

constexpr Compression kFormats[] = {Compression::Gzip, Compression::Bzip2, Compression::Xz,
                                    Compression::Zstd};

// CSV-like text that compresses well but not to nothing: 700 KB, more than
// two read chunks compressed, more than ten doublings of the output.
std::string sample_text() {
  std::mt19937 random(7);
  std::string text;
  while (text.size() < 700'000) {
    text += std::to_string(random() % 100000) + ";\"name " + std::to_string(random() % 977) +
            "\";" + std::to_string(random() % 13) + "\n";
  }
  return text;
}

// `bytes` read through a pipe: no file size to go by, reads of any length.
Result<RawInput> through_pipe(const std::string& bytes) {
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe");
  std::thread writer([&] {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n = ::write(ends[1], bytes.data() + at, bytes.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(ends[1]);
  });
  Result<RawInput> read = read_decompressing(ends[0]);
  writer.join();
  ::close(ends[0]);
  return read;
}

TEST(decompress, knows_each_format_by_its_first_bytes_only) {
  EXPECT_EQ(detect_compression("\x1F\x8B"), Compression::Gzip);
  EXPECT_EQ(detect_compression("BZh9"), Compression::Bzip2);
  EXPECT_EQ(detect_compression("BZh"), Compression::None);  // no block size
  EXPECT_EQ(detect_compression("BZhello,world\n"), Compression::None);
  EXPECT_EQ(detect_compression(std::string_view("\xFD" "7zXZ\0", 6)), Compression::Xz);
  EXPECT_EQ(detect_compression("\xFD" "7zXZ"), Compression::None);
  EXPECT_EQ(detect_compression("\x28\xB5\x2F\xFD"), Compression::Zstd);
  EXPECT_EQ(detect_compression("a,b\n\x1F\x8B"), Compression::None);
  EXPECT_EQ(detect_compression(""), Compression::None);
}

TEST(decompress, gives_back_what_was_compressed_from_a_file_a_pipe_and_memory) {
  const std::string text = sample_text();
  const TempDir dir;
  for (const Compression format : kFormats) {
    const std::string name(compression_name(format));
    // Streams one after another are one input, as `gzip -dc` reads them; an
    // empty one among them included.
    const std::string packed = reference::compress(format, text.substr(0, 1000)) +
                               reference::compress(format, "") +
                               reference::compress(format, text.substr(1000));
    spill(dir / "in", packed);
    const UniqueFd file = open_for_reading(dir / "in").value();
    const auto expect_text = [&](Result<RawInput> got, const char* how) {
      ASSERT_TRUE(got) << name << " from " << how << ": " << got.error().text();
      EXPECT_EQ(got.value().compression, format) << name << " from " << how;
      EXPECT_TRUE(got.value().bytes.view() == text) << name << " from " << how;
    };
    expect_text(read_decompressing(file.get()), "a file");
    expect_text(through_pipe(packed), "a pipe");
    expect_text(copy_decompressing(packed), "memory");
  }
  // Plain input is read as it is, its head included.
  for (const std::string& plain : {std::string("a,"), text}) {
    Result<RawInput> got = through_pipe(plain);
    ASSERT_TRUE(got);
    EXPECT_EQ(got.value().compression, Compression::None);
    EXPECT_TRUE(got.value().bytes.view() == plain);
  }
}

TEST(decompress, data_cut_short_corrupt_or_followed_by_other_bytes_fail_in_their_format) {
  const std::string text = sample_text().substr(0, 20'000);
  const MendleError::Cause causes[] = {MendleError::Cause::CorruptGzip,
                                       MendleError::Cause::CorruptBzip2,
                                       MendleError::Cause::CorruptXz,
                                       MendleError::Cause::CorruptZstd};
  for (std::size_t i = 0; i < std::size(kFormats); ++i) {
    const std::string packed = reference::compress(kFormats[i], text);
    std::string flipped = packed;
    flipped[packed.size() / 2] ^= 0x10;
    std::vector<std::string> damaged = {packed + "\n", packed + "a,b\n", flipped};
    for (std::size_t cut = kSignatureBytes; cut < packed.size(); cut += 1 + cut / 3) {
      damaged.push_back(packed.substr(0, cut));
    }
    damaged.push_back(packed.substr(0, packed.size() - 1));
    for (const std::string& bytes : damaged) {
      Result<RawInput> got = copy_decompressing(bytes);
      ASSERT_FALSE(got) << compression_name(kFormats[i]) << " " << bytes.size() << " of "
                        << packed.size();
      EXPECT_EQ(got.error().cause, causes[i]);
    }
  }
  EXPECT_EQ(MendleError::of(MendleError::Cause::CorruptXz).text(), "truncated or corrupt xz data");
}

TEST(decompress, the_file_repair_decompresses_only_when_asked_and_writes_nothing_on_failure) {
  const TempDir dir;
  const std::string text = "a;b\n1;\"x\"y\n2\n";
  spill(dir / "plain.csv", text);
  Result<RepairReport> want =
      mendle_file(InputSource::path(dir / "plain.csv"), dir / "want.csv", std::nullopt, {});
  ASSERT_TRUE(want) << want.error().text();
  const std::string packed = reference::gzip(text);
  spill(dir / "in.gz", packed);
  const InputRequest asked{.decompress = true};
  const std::string in_gz = dir / "in.gz", cut_gz = dir / "cut.gz";
  for (const InputSource& input : {InputSource::path(in_gz), InputSource::bytes(packed)}) {
    Result<RepairReport> report = mendle_file(input, dir / "out.csv", std::nullopt, {}, asked);
    ASSERT_TRUE(report) << report.error().text();
    EXPECT_EQ(report.value().compression, Compression::Gzip);
    EXPECT_EQ(slurp(dir / "out.csv"), slurp(dir / "want.csv"));
    Result<IndexOutcome> indexed = mendle_indexed_file(input, {}, asked);
    ASSERT_TRUE(indexed);
    EXPECT_EQ(indexed.value().report, report.value());
  }
  // The backend's request reads the bytes as they are.
  Result<RepairReport> raw =
      mendle_file(InputSource::path(in_gz), dir / "raw.csv", std::nullopt, {});
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw.value().compression, Compression::None);
  EXPECT_NE(slurp(dir / "raw.csv"), slurp(dir / "want.csv"));

  const std::string cut = packed.substr(0, packed.size() - 3);
  spill(cut_gz, cut);
  for (const InputSource& input : {InputSource::path(cut_gz), InputSource::bytes(cut)}) {
    Result<RepairReport> failed = mendle_file(input, dir / "new.csv", dir / "q.csv", {}, asked);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().cause, MendleError::Cause::CorruptGzip);
    EXPECT_EQ(failed.error().file, MendleError::File::Input);
  }
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"plain.csv", "want.csv", "in.gz", "out.csv",
                                                  "raw.csv", "cut.gz"}));
}

}  // namespace
}  // namespace csv_mendle
