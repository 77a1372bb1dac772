// The output line formats, the buffered writer and the file access beneath them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "csv_writer.hpp"
#include "file_io.hpp"
#include "parser.hpp"
#include "temp_dir.hpp"

namespace csv_mendle {
namespace {

namespace fs = std::filesystem;

using testing::slurp;
using testing::TempDir;

TEST(writer, output_lines_quote_only_fields_holding_q_d_lf_or_cr) {
  struct Case {
    std::vector<std::string> fields;
    unsigned char delimiter, quote;
    std::string line;
  };
  std::vector<Case> cases = {
      {{"abc"}, ',', '"', "abc\n"},
      {{"  padded  ", "a\tb", "007"}, ',', '"', "  padded  ,a\tb,007\n"},
      {{"a,b"}, ',', '"', "\"a,b\"\n"},
      {{"say \"hi\""}, ',', '"', "\"say \"\"hi\"\"\"\n"},
      {{"one\ntwo", "\r"}, ',', '"', "\"one\ntwo\",\"\r\"\n"},
      {{"\n", "one\rtwo"}, ',', '"', "\"\n\",\"one\rtwo\"\n"},
      {{"it's"}, ',', '\'', "'it''s'\n"},
      {{"say \"hi\""}, ',', '\'', "say \"hi\"\n"},
      {{"a;b", "a,b"}, ';', '"', "\"a;b\";a,b\n"},
      {{"a,b", "a\tb"}, '\t', '"', "a,b\t\"a\tb\"\n"},
      // One empty field is an empty line; n empty fields are n - 1 delimiters.
      {{""}, ',', '"', "\n"},
      {{"", "", ""}, ',', '"', ",,\n"},
      {{"", "", ""}, '\t', '"', "\t\t\n"},
      {{"", ""}, 0xE9, '"', "\xC3\xA9\n"},
      // A byte of 0x80 or more is the character of that code point, and a
      // field is quoted only for that whole character, not for a shared byte.
      {{"x\xC2\xA7y", "\xC3\xA7"}, 0xA7, '"', "\"x\xC2\xA7y\"\xC2\xA7\xC3\xA7\n"},
      {{"\xC3\xA9", "a\xC3\x83" "b"}, ',', 0xC3, "\xC3\xA9,\xC3\x83" "a\xC3\x83\xC3\x83" "b\xC3\x83\n"},
      {{std::string("a\0b", 3), "c"}, '\0', '"', std::string("\"a\0b\"\0c\n", 8)},
  };
  // Rows past 64 KiB are written piece by piece, shorter ones in place: the
  // same lines either way.
  for (const std::size_t size : {65535u, 65536u, 70000u}) {
    const std::string big(size, 'x');
    cases.push_back({{big + "\"q", "a,b", ""}, ',', '"', "\"" + big + "\"\"q\",\"a,b\",\n"});
    cases.push_back({{"", big}, ';', '"', ";" + big + "\n"});
  }
  for (const auto& c : cases) {
    RowTable table;
    table.open_row();
    for (const auto& f : c.fields) {
      table.text() += f;
      table.close_field();
    }
    table.commit_row();
    std::string line = "kept|";  // lines are appended to what the buffer holds
    append_output_line(line, table.row(0), OutputDialect(c.delimiter, c.quote));
    EXPECT_EQ(line, "kept|" + c.line) << "first field «" << c.fields[0].substr(0, 40) << "»";
  }
}

TEST(writer, quarantine_lines_always_use_comma_and_double_quote) {
  const std::string extra = "Row has extra columns (expected 3)";
  struct Case {
    QuarantineRecord record;
    unsigned char delimiter, quote;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{{"a", "b\"c", "d"}, extra, 7}, ';', '"', "7,\"" + extra + "\",\"a;b\"\"c;d\"\n"},
      {{{"it's", "x,y"}, extra, 12}, ',', '\'', "12,\"" + extra + "\",\"it's,x,y\"\n"},
      {{{"a", "b"}, extra, 1}, 0xA7, '"', "1,\"" + extra + "\",\"a\xC2\xA7" "b\"\n"},
      {{{"multi\nline", "\r"}, extra, 6}, '\t', '"', "6,\"" + extra + "\",\"multi\nline\t\r\"\n"},
      {{{""}, "a \"quoted\" reason", UINT64_MAX}, ',', '"',
       "18446744073709551615,\"a \"\"quoted\"\" reason\",\"\"\n"},
      // Double quotes are doubled in the joined text, a delimiter one included.
      {{{"a", "b"}, extra, 3}, '"', '"', "3,\"" + extra + "\",\"a\"\"b\"\n"},
  };
  for (const auto& c : cases) {
    std::string line = "kept|";
    append_quarantine_line(line, c.record, OutputDialect(c.delimiter, c.quote));
    EXPECT_EQ(line, "kept|" + c.line) << "line " << c.record.line;
  }
}

// A stand-in for write(2).  Each call takes the next step of `script`: n > 0
// accepts at most n bytes, 0 accepts none, -E fails with errno E; with the
// script used up, every byte is accepted.
struct FakeFile {
  std::vector<long> script;
  std::size_t next = 0;
  std::string bytes;
  std::vector<std::size_t> accepted, attempted;  // sizes per call
} fake;

void reset_fake(std::vector<long> script = {}) {
  fake = FakeFile();
  fake.script = std::move(script);
}

ssize_t fake_write(int, const void* data, std::size_t size) {
  fake.attempted.push_back(size);
  const long step = fake.next < fake.script.size() ? fake.script[fake.next++] : LONG_MAX;
  if (step < 0) {
    errno = static_cast<int>(-step);
    return -1;
  }
  size = std::min(size, static_cast<std::size_t>(step));
  if (size > 0) fake.accepted.push_back(size);
  fake.bytes.append(static_cast<const char*>(data), size);
  return static_cast<ssize_t>(size);
}

// Lines of the given lengths, each of one letter (a, b, c, ...) and LF, so
// that lost or reordered bytes show.
std::vector<std::string> lines_of(const std::vector<std::size_t>& lengths) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    lines.push_back(std::string(lengths[i] - 1, static_cast<char>('a' + i % 26)) + '\n');
  }
  return lines;
}

// Writes `lines` and flushes; returns the first failure.
Status write_lines(BufferedWriter& writer, const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    if (Status written = writer.write_line(line); !written) return written;
  }
  return writer.flush();
}

TEST(buffered_writer, writes_out_full_buffers_and_passes_long_lines_straight) {
  struct Case {
    std::vector<std::size_t> lines, writes;
  };
  const std::vector<Case> cases = {
      {{8191}, {8191}},
      {{8192}, {8192}},
      {{8193}, {8193}},
      {{8191, 8191}, {8191, 8191}},
      {{8191, 1, 1}, {8192, 1}},
      {{4096, 4096, 1}, {8192, 1}},
      {{10, 8192, 10}, {10, 8192, 10}},
      {{10, 8193, 8191}, {10, 8193, 8191}},
      {std::vector<std::size_t>(1000, 10), {8190, 1810}},  // the 820th line does not fit
  };
  const TempDir dir;
  for (const auto& c : cases) {
    const auto lines = lines_of(c.lines);
    std::string all;
    for (const auto& l : lines) all += l;
    reset_fake();
    {
      BufferedWriter writer(UniqueFd(), &fake_write);
      ASSERT_TRUE(write_lines(writer, lines));
    }
    EXPECT_EQ(fake.accepted, c.writes) << c.lines.size() << " lines, first " << c.lines[0];
    // A line handed over as its body and its LF goes out exactly the same way.
    reset_fake();
    {
      BufferedWriter writer(UniqueFd(), &fake_write);
      for (const auto& l : lines) {
        ASSERT_TRUE(writer.write_line(std::string_view(l).substr(0, l.size() - 1), '\n'));
      }
      ASSERT_TRUE(writer.flush());
    }
    EXPECT_EQ(fake.accepted, c.writes) << "in two parts: " << c.lines.size() << " lines";
    EXPECT_TRUE(fake.bytes == all) << "in two parts: " << c.lines.size() << " lines";
    // The same through a real file.
    Result<UniqueFd> file = create_for_writing(dir / "out.csv");
    ASSERT_TRUE(file);
    BufferedWriter writer(std::move(file).value());
    ASSERT_TRUE(write_lines(writer, lines));
    ASSERT_TRUE(writer.close());
    EXPECT_TRUE(slurp(dir / "out.csv") == all) << c.lines.size() << " lines, first " << c.lines[0];
  }
}

TEST(buffered_writer, write_failures_and_retries) {
  struct Case {
    std::vector<std::size_t> lines;
    std::vector<long> script;
    std::string text;  // empty: succeeds with every byte written
  };
  const std::vector<Case> cases = {
      {{5000, 5000, 20000}, {-EINTR, 100, -EINTR, 1, 9000, -EINTR}, ""},
      {{10}, {0}, "failed to write the buffered data"},
      {{10}, {4, 0}, "failed to write the buffered data"},
      {{8000, 8000}, {0}, "failed to write the buffered data"},  // making room
      {{10, 9000}, {0}, "failed to write the buffered data"},    // ahead of a long line
      {{9000}, {0}, "failed to write whole buffer"},
      {{8192}, {8000, 0}, "failed to write whole buffer"},
      {{8192}, {-ENOSPC}, "No space left on device (os error 28)"},
      {{10}, {-EINTR, -EIO}, "Input/output error (os error 5)"},
  };
  for (const auto& c : cases) {
    reset_fake(c.script);
    const auto lines = lines_of(c.lines);
    BufferedWriter writer(UniqueFd(), &fake_write);
    const Status status = write_lines(writer, lines);
    if (c.text.empty()) {
      ASSERT_TRUE(status) << status.error().text();
      EXPECT_EQ(fake.bytes.size(), 30000u);
      EXPECT_TRUE(fake.bytes == lines[0] + lines[1] + lines[2]);
    } else {
      ASSERT_FALSE(status) << c.text;
      EXPECT_EQ(status.error().text(), c.text);
    }
  }
}

TEST(buffered_writer, buffer_if_room_takes_only_what_fits_and_never_writes) {
  reset_fake();
  {
    BufferedWriter writer(UniqueFd(), &fake_write);  // 8192 bytes
    EXPECT_FALSE(writer.buffer_if_room(std::string(8192, 'a')));  // a line as long as the buffer
    EXPECT_TRUE(writer.buffer_if_room(std::string(8000, 'b')));
    EXPECT_FALSE(writer.buffer_if_room(std::string(193, 'c')));
    EXPECT_TRUE(writer.buffer_if_room(std::string(192, 'd')));  // fills it
    EXPECT_TRUE(writer.buffer_if_room(""));
    EXPECT_EQ(writer.buffered(), 8192u);
    EXPECT_TRUE(fake.attempted.empty());
    ASSERT_TRUE(writer.flush());
  }
  EXPECT_EQ(fake.attempted, (std::vector<std::size_t>{8192}));
  EXPECT_TRUE(fake.bytes == std::string(8000, 'b') + std::string(192, 'd'));
}

TEST(buffered_writer, asks_each_write_call_for_at_most_a_mebibyte) {
  constexpr std::size_t mib = BufferedWriter::kMaxWriteCall;
  const auto lines = lines_of({10, 2 * mib + 5, 7});
  reset_fake();
  {
    BufferedWriter writer(UniqueFd(), &fake_write, mib);
    ASSERT_TRUE(write_lines(writer, lines));
  }
  EXPECT_EQ(fake.attempted, (std::vector<std::size_t>{10, mib, mib, 5, 7}));
  EXPECT_TRUE(fake.bytes == lines[0] + lines[1] + lines[2]);
  // A short write inside a piece is taken up again where it stopped, and a
  // refusal after whole pieces still fails the long line.
  reset_fake({100, LONG_MAX, 0});
  {
    BufferedWriter writer(UniqueFd(), &fake_write, mib);
    const Status status = writer.write_line(lines[1]);
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().text(), "failed to write whole buffer");
  }
  EXPECT_EQ(fake.attempted, (std::vector<std::size_t>{mib, mib, mib - 95}));
}

TEST(buffered_writer, closing_after_a_failure_tries_once_more_and_ignores_the_outcome) {
  const std::string line = lines_of({10})[0];
  for (const bool destroy : {false, true}) {
    reset_fake({3, -ENOSPC, -ENOSPC});
    UniqueFd fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    const int raw = fd.get();
    {
      BufferedWriter writer(std::move(fd), &fake_write);
      ASSERT_TRUE(writer.write_line(line));
      ASSERT_FALSE(writer.flush());
      EXPECT_EQ(writer.buffered(), 7u);  // what was accepted left the buffer
      if (!destroy) {
        EXPECT_TRUE(writer.close());
      }
    }
    EXPECT_EQ(fake.attempted, (std::vector<std::size_t>{10, 7, 7}));
    EXPECT_EQ(::fcntl(raw, F_GETFD), -1) << "descriptor left open";
  }
  // After a successful flush there is nothing left to write.
  reset_fake();
  BufferedWriter writer(UniqueFd(::open("/dev/null", O_WRONLY | O_CLOEXEC)), &fake_write);
  ASSERT_TRUE(write_lines(writer, {line}));
  EXPECT_TRUE(writer.close());
  EXPECT_EQ(fake.attempted, (std::vector<std::size_t>{10}));
}

TEST(file_io, created_files_are_truncated_and_new_ones_get_0666_less_the_umask) {
  const TempDir dir;
  std::ofstream(dir / "old.csv") << "old content";
  ASSERT_EQ(::chmod((dir / "old.csv").c_str(), 0640), 0);
  const mode_t saved = ::umask(0);
  Result<UniqueFd> created = create_for_writing(dir / "new.csv");
  ::umask(027);
  Result<UniqueFd> masked = create_for_writing(dir / "masked.csv");
  Result<UniqueFd> truncated = create_for_writing(dir / "old.csv");
  ::umask(saved);
  ASSERT_TRUE(created && masked && truncated);
  EXPECT_EQ(fs::status(dir / "new.csv").permissions(), fs::perms(0666));
  EXPECT_EQ(fs::status(dir / "masked.csv").permissions(), fs::perms(0640));
  EXPECT_EQ(fs::file_size(dir / "old.csv"), 0u);
  EXPECT_NE(::fcntl(created.value().get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(file_io, a_file_too_large_to_hold_in_memory_is_out_of_memory) {
  const TempDir dir;
  {
    // Sparse: costs no space on tmpfs and most other file systems.
    UniqueFd fd(::open((dir / "huge").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    if (::ftruncate(fd.get(), INT64_MAX) != 0) GTEST_SKIP() << "no sparse file this large";
  }
  Result<UniqueFd> file = open_for_reading(dir / "huge");
  ASSERT_TRUE(file);
  const Result<ByteBuffer> read = read_all(file.value().get());
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().text(), "out of memory");
}

}  // namespace
}  // namespace csv_mendle

namespace csv_mendle {
namespace {

// The file repair writes a row as its own bytes when row_copy says so from
// the parser's facts; that must be exactly what the writer makes of its
// fields.
TEST(writer, rows_judged_copyable_are_written_as_their_own_bytes) {
  const char alphabet[] = {'a', ',', ';', '"', '\'', ' ', '\t', '\r', '\n', '\xC3', '\xA9', '\xFF'};
  std::uint64_t state = 12345;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::size_t>(state >> 33);
  };
  const unsigned char delimiters[] = {',', ';', '\t', 0xC3};
  const unsigned char quotes[] = {'"', '\'', ','};
  std::size_t verbatim_rows = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string data;
    const std::size_t length = next() % 24;
    for (std::size_t i = 0; i < length; ++i) data += alphabet[next() % sizeof alphabet];
    const unsigned char delimiter = delimiters[next() % 4];
    const unsigned char quote = quotes[next() % 3];
    const OutputDialect dialect(delimiter, quote);
    ResilientParser parser = make_parser(data, delimiter, quote, next() % 2 == 0);
    RowTable rows;
    while (next_row(parser, rows)) {
      if (row_copy(parser.row, dialect) == RowCopy::Bytes) {
        ++verbatim_rows;
        std::string line;
        append_output_line(line, rows.open_view(), dialect);
        ASSERT_EQ(line, std::string(parser.row.bytes) + "\n")
            << "input «" << data << "» delimiter " << int(delimiter) << " quote " << int(quote);
      }
      rows.discard_row();
    }
  }
  EXPECT_GT(verbatim_rows, 1000u);  // the property was exercised
}

// A plain row padded or merged from its bytes is written as the writer
// writes the row parsed, padded or merged: rows of up to a few hundred
// bytes, so that the cut falls in any 64-byte window, before or after
// quoted fields.
TEST(writer, resized_plain_rows_are_written_as_the_resized_row) {
  std::uint64_t state = 4242;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::size_t>(state >> 33);
  };
  const OutputDialect dialect(',', '"');
  std::size_t merged_rows = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const std::size_t fields = 1 + next() % 30;
    const bool quotes = next() % 2 == 0;
    for (std::size_t f = 0; f < fields; ++f) {
      if (f > 0) text += ',';
      const std::string word(next() % 20, static_cast<char>('a' + next() % 26));
      text += quotes && next() % 4 == 0 ? "\"" + word + "," + word + "\"" : word;
    }
    const std::string data = text + "\n";
    for (std::uint64_t width = 1; width <= fields + 2; ++width) {
      ResilientParser parser = make_parser(data, ',', '"', true);
      RowTable rows;
      ASSERT_TRUE(next_row(parser, rows));
      const WidthRule rule{width, true, true};
      const WidthVerdict verdict = judge_width(rule, fields);
      apply_width(verdict, rule, rows, ",");
      std::string expected;
      append_output_line(expected, rows.open_view(), dialect);
      std::string line;
      append_resized_plain_line(line, text, plain_resize(verdict, rule, text, fields, ',', '"'),
                                dialect);
      ASSERT_EQ(line, expected) << "row «" << text << "» width " << width;
      merged_rows += fields > width;
    }
  }
  EXPECT_GT(merged_rows, 10000u);
}

}  // namespace
}  // namespace csv_mendle
