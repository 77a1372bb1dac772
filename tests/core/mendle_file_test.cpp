// File repair end to end: the files written, what a failure leaves on disk,
// and the refusal to let the quarantine file overwrite the output.
#include "mendle_file.hpp"

#include "csv_writer.hpp"
#include "strict_reader.hpp"
#include "temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <random>
#include <string>
#include <vector>

namespace csv_mendle {
namespace {

namespace fs = std::filesystem;

using testing::slurp;
using testing::spill;
using testing::TempDir;

RepairOptions given(unsigned char delimiter, std::uint64_t columns) {
  RepairOptions options;
  options.delimiter = delimiter;
  options.expected_columns = columns;
  return options;
}

const std::string header = "line,reason,raw_content\n";

TEST(mendle_file, writes_the_repaired_rows_and_the_quarantine_file) {
  struct Case {
    const char* name;
    std::string input;
    RepairOptions options;
    std::string output, quarantine;
    std::uint64_t total, mendled, repaired, quarantined, columns;
    char32_t delimiter;
  };
  RepairOptions strict = given(';', 3);
  strict.merge_overflow = false;
  RepairOptions apostrophe = given(',', 2);
  apostrophe.quote_char = '\'';
  RepairOptions no_padding = given(0xA7, 3);
  no_padding.fill_ragged_rows = false;
  const std::vector<Case> cases = {
      {"empty input", "", {}, "", header, 0, 0, 0, 0, 0, U','},
      {"padding", "a,b,c\nd\n", given(',', 3), "a,b,c\nd,,\n", header, 2, 2, 1, 0, 3, U','},
      {"quoting", "\"x,y\",\"say \"\"hi\"\"\",\"1\n2\"\n", given(',', 3),
       "\"x,y\",\"say \"\"hi\"\"\",\"1\n2\"\n", header, 1, 1, 0, 0, 3, U','},
      {"extra columns quarantined", "x;y;z\na;\"b\"\"c\";d;e\n", strict, "x;y;z\n",
       header + "3,\"Row has extra columns (expected 3)\",\"a;b\"\"c;d;e\"\n", 2, 1, 0, 1, 3, U';'},
      {"apostrophe as quote", "'it''s',\"q\"\n", apostrophe, "'it''s',\"q\"\n", header, 1, 1, 0, 0,
       2, U','},
      {"delimiter byte 0xA7", "a\xA7" "b\xA7" "c\nd\xA7" "e\n", no_padding,
       "a\xC2\xA7" "b\xC2\xA7" "c\n",
       header + "3,\"Row has too few columns (expected 3)\",\"d\xC2\xA7" "e\"\n", 2, 1, 0, 1, 3,
       U'\u00A7'},
      {"blank lines", "\n\n", given(',', 1), "\n\n", header, 2, 2, 0, 0, 1, U','},
      {"tab delimiter", "a,b\tc\n", given('\t', 2), "a,b\tc\n", header, 1, 1, 0, 0, 2, U'\t'},
      {"merged overflow", "a,b,c,d\n", given(',', 2), "a,\"b,c,d\"\n", header, 1, 1, 1, 0, 2,
       U','},
  };
  for (const auto& c : cases) {
    const TempDir dir;
    spill(dir / "in.csv", c.input);
    Result<RepairReport> report =
        mendle_file(InputSource::path(dir / "in.csv"), dir / "out.csv", dir / "q.csv", c.options);
    ASSERT_TRUE(report) << c.name << ": " << report.error().text();
    const RepairReport& r = report.value();
    EXPECT_EQ(slurp(dir / "out.csv"), c.output) << c.name;
    EXPECT_EQ(slurp(dir / "q.csv"), c.quarantine) << c.name;
    EXPECT_EQ(r.total_rows, c.total) << c.name;
    EXPECT_EQ(r.mendled_rows, c.mendled) << c.name;
    EXPECT_EQ(r.repaired_rows, c.repaired) << c.name;
    EXPECT_EQ(r.quarantined_rows, c.quarantined) << c.name;
    EXPECT_EQ(r.inferred_columns, c.columns) << c.name;
    EXPECT_EQ(r.detected_delimiter, c.delimiter) << c.name;
  }
}

TEST(mendle_file, without_a_quarantine_path_set_aside_rows_are_only_counted) {
  const TempDir dir;
  spill(dir / "in.csv", "a,b\nc\n");
  RepairOptions options = given(',', 2);
  options.fill_ragged_rows = false;
  Result<RepairReport> report =
      mendle_file(InputSource::path(dir / "in.csv"), dir / "out.csv", std::nullopt, options);
  ASSERT_TRUE(report);
  EXPECT_EQ(report.value().quarantined_rows, 1u);
  EXPECT_EQ(slurp(dir / "out.csv"), "a,b\n");
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"in.csv", "out.csv"}));
}

// Input in another encoding is read as such and written as UTF-8; a
// byte-order mark goes as the UTF-8 one does, and a broken length fails
// before any output exists.
TEST(mendle_file, reads_the_encoding_asked_for_and_writes_utf8) {
  using namespace std::string_literals;
  struct Case {
    const char* request;
    std::string input;
    std::string output;
    Encoding used;
  };
  const std::vector<Case> cases = {
      {"cp1252", "a;\xE4\x80\n"s, "a;ä€\n", Encoding::Cp1252},
      {"auto", "a;\xE4\x80\n"s, "a;ä€\n", Encoding::Cp1252},
      {"auto", "a;\xC3\xA4\n"s, "a;ä\n", Encoding::Utf8},
      {"auto", "\xFF\xFE" "a\0\t\0\xE4\0\n\0"s, "a\tä\n", Encoding::Utf16Le},
      {"utf-16", "\xFE\xFF\0a\0\t\0b\0\n"s, "a\tb\n", Encoding::Utf16Be},
  };
  for (const Case& c : cases) {
    const TempDir dir;
    spill(dir / "in.csv", c.input);
    Result<RepairReport> report =
        mendle_file(InputSource::path(dir / "in.csv"), dir / "out.csv", std::nullopt,
                    RepairOptions{}, {*encoding_request(c.request)});
    ASSERT_TRUE(report) << c.request;
    EXPECT_EQ(slurp(dir / "out.csv"), c.output) << c.request;
    EXPECT_EQ(report.value().encoding, c.used) << c.request;
  }
  const TempDir dir;
  spill(dir / "in.csv", "a\0b");
  Result<RepairReport> odd =
      mendle_file(InputSource::path(dir / "in.csv"), dir / "out.csv", std::nullopt,
                  RepairOptions{}, {*encoding_request("utf-16-le")});
  ASSERT_FALSE(odd);
  EXPECT_EQ(odd.error().cause, MendleError::Cause::OddUtf16Length);
  EXPECT_EQ(odd.error().file, MendleError::File::Input);
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"in.csv"}));
}

// Input read with blanks skipped and an escape is written as plain CSV: no
// row is copied with its escapes or blanks, and the output reads back,
// strictly, as the rows of the in-memory repair.
TEST(mendle_file, escaped_and_spaced_input_is_written_as_plain_csv) {
  const TempDir dir;
  RepairOptions options;
  options.skip_initial_space = true;
  options.escape = '\\';
  const std::string input = "name, note\nann, \"say \\\"hi\\\"\"\nbob, a\\, b\n\"c\\\nd\", x\\";
  spill(dir / "in.csv", input);
  Result<RepairReport> report =
      mendle_file(InputSource::path(dir / "in.csv"), dir / "out.csv", std::nullopt, options);
  ASSERT_TRUE(report) << report.error().text();
  const std::string output = slurp(dir / "out.csv");
  EXPECT_EQ(output, "name,note\nann,\"say \"\"hi\"\"\"\nbob,\"a, b\"\n\"c\nd\",x\\\n");
  const SliceOutcome outcome = mendle_slice(input, options);
  EXPECT_EQ(report.value(), outcome.report);
  EXPECT_EQ(outcome.report.inferred_columns, 2u);
  const auto read = reference::read_strict(output, ",", "\"");
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->size(), outcome.rows.size());
  for (std::size_t r = 0; r < read->size(); ++r) {
    const RowView row = outcome.rows.row(r);
    ASSERT_EQ((*read)[r].size(), row.size());
    for (std::size_t f = 0; f < row.size(); ++f) EXPECT_EQ((*read)[r][f], row.field(f));
  }
}

TEST(mendle_file, repairs_a_file_in_place) {
  const TempDir dir;
  const std::string file = dir / "data.csv";
  spill(file, "a,b,c\nd\ne,f,g,h\n");
  RepairOptions options = given(',', 3);
  options.merge_overflow = false;
  Result<RepairReport> report = mendle_file(InputSource::path(file), file, dir / "q.csv", options);
  ASSERT_TRUE(report);
  EXPECT_EQ(slurp(file), "a,b,c\nd,,\n");
  EXPECT_EQ(slurp(dir / "q.csv"),
            header + "4,\"Row has extra columns (expected 3)\",\"e,f,g,h\"\n");

  // The quarantine file may replace the input too: it was read first.  An
  // output and a quarantine file that exist are truncated, not mistaken for one.
  spill(file, "a,b,c\nd,e,f,g\n");
  spill(dir / "out.csv", "previous output\n");
  report = mendle_file(InputSource::path(file), dir / "out.csv", file, options);
  ASSERT_TRUE(report);
  EXPECT_EQ(slurp(dir / "out.csv"), "a,b,c\n");
  EXPECT_EQ(slurp(file), header + "3,\"Row has extra columns (expected 3)\",\"d,e,f,g\"\n");
}

// Which failure leaves which files: every path that fails is checked for the
// error text, the file it names as failed, and the files that exist
// afterwards (and their content).
TEST(mendle_file, failures_report_the_system_error_and_leave_the_documented_files) {
  const std::string nul = std::string("\0", 1);
  const std::string repaired = "a,b\n";
  struct Case {
    const char* name;
    std::string input, output;  // relative to the test directory unless absolute
    std::optional<std::string> quarantine;
    std::string text;
    MendleError::File file;
    std::set<std::string> entries;  // of the test directory afterwards
    bool output_complete;
  };
  using enum MendleError::File;
  const std::vector<Case> cases = {
      {"missing input", "missing.csv", "out.csv", "q.csv",
       "No such file or directory (os error 2)", Input, {"in.csv"}, false},
      {"directory as input", "sub", "out.csv", "q.csv", "Is a directory (os error 21)", Input,
       {"in.csv"}, false},
      {"NUL in the input path", "in.csv" + nul + "x", "out.csv", "q.csv",
       "file name contained an unexpected NUL byte", Input, {"in.csv"}, false},
      {"output in a missing directory", "in.csv", "none/out.csv", "q.csv",
       "No such file or directory (os error 2)", Output, {"in.csv"}, false},
      {"NUL in the output path", "in.csv", "out.csv" + nul + ".bak", "q.csv",
       "file name contained an unexpected NUL byte", Output, {"in.csv"}, false},
      {"quarantine in a missing directory", "in.csv", "out.csv", "none/q.csv",
       "No such file or directory (os error 2)", Quarantine, {"in.csv", "out.csv"}, true},
      {"empty quarantine path", "in.csv", "out.csv", "", "No such file or directory (os error 2)",
       Quarantine, {"in.csv", "out.csv"}, true},
      {"NUL in the quarantine path", "in.csv", "out.csv", "q.csv" + nul,
       "file name contained an unexpected NUL byte", Quarantine, {"in.csv", "out.csv"}, true},
      {"full device as output", "in.csv", "/dev/full", "q.csv",
       "No space left on device (os error 28)", Output, {"in.csv"}, false},
      {"full device as quarantine", "in.csv", "out.csv", "/dev/full",
       "No space left on device (os error 28)", Quarantine, {"in.csv", "out.csv"}, true},
  };
  for (const auto& c : cases) {
    const TempDir dir;
    spill(dir / "in.csv", repaired);
    fs::create_directory(dir / "sub");
    const auto at = [&](const std::string& p) { return p.starts_with("/") ? p : dir / p; };
    std::optional<std::string> quarantine;
    if (c.quarantine) quarantine = c.quarantine->empty() ? "" : at(*c.quarantine);
    Result<RepairReport> report =
        mendle_file(InputSource::path(at(c.input)), at(c.output), quarantine, given(',', 2));
    ASSERT_FALSE(report) << c.name;
    EXPECT_EQ(report.error().text(), c.text) << c.name;
    EXPECT_EQ(report.error().file, c.file) << c.name;
    fs::remove(dir / "sub");
    EXPECT_EQ(dir.entries(), c.entries) << c.name;
    EXPECT_EQ(slurp(dir / "in.csv"), repaired) << c.name;
    if (c.output_complete) {
      EXPECT_EQ(slurp(dir / "out.csv"), repaired) << c.name;
    }
  }
}

TEST(mendle_file, quarantine_naming_the_output_file_is_refused_before_anything_is_touched) {
  struct Case {
    const char* name;
    std::string output, quarantine;  // relative to the test directory
  };
  const std::vector<Case> cases = {
      {"same text", "out.csv", "out.csv"},
      {"dot spelling", "out.csv", "./out.csv"},
      {"parent spelling", "sub/../out.csv", "out.csv"},
      {"symbolic link to the output", "out.csv", "link.csv"},
      {"output through a symbolic link", "link.csv", "out.csv"},
      {"hard link", "out.csv", "hard.csv"},
  };
  for (const auto& c : cases) {
    const TempDir dir;
    spill(dir / "in.csv", "x,y\n");
    spill(dir / "out.csv", "previous output\n");
    fs::create_directory(dir / "sub");
    fs::create_symlink(dir / "out.csv", dir / "link.csv");
    fs::create_hard_link(dir / "out.csv", dir / "hard.csv");
    const auto before = dir.entries();
    // The input may even be missing: nothing is opened before the check.
    for (const std::string input : {"in.csv", "missing.csv"}) {
      Result<RepairReport> report =
          mendle_file(InputSource::path(dir / input), dir / c.output, dir / c.quarantine,
                      given(',', 2));
      ASSERT_FALSE(report) << c.name;
      EXPECT_EQ(report.error().cause, MendleError::Cause::QuarantineIsOutput) << c.name;
      EXPECT_EQ(report.error().text(), "quarantine_path names the same file as output_path");
      EXPECT_EQ(report.error().file, MendleError::File::Quarantine) << c.name;
    }
    EXPECT_EQ(slurp(dir / "out.csv"), "previous output\n") << c.name;
    EXPECT_EQ(slurp(dir / "in.csv"), "x,y\n") << c.name;
    EXPECT_EQ(dir.entries(), before) << c.name;
  }
}

TEST(mendle_file, another_spelling_of_a_new_output_is_refused_before_the_quarantine_is_created) {
  const TempDir dir;
  spill(dir / "in.csv", "x,y\n");
  fs::create_symlink(dir / "out.csv", dir / "dangling.csv");
  for (const std::string quarantine : {"./out.csv", "dangling.csv"}) {
    fs::remove(dir / "out.csv");
    Result<RepairReport> report =
        mendle_file(InputSource::path(dir / "in.csv"), dir / "out.csv", dir / quarantine,
                    given(',', 2));
    ASSERT_FALSE(report) << quarantine;
    EXPECT_EQ(report.error().cause, MendleError::Cause::QuarantineIsOutput) << quarantine;
    // The output is complete and was not truncated again.
    EXPECT_EQ(slurp(dir / "out.csv"), "x,y\n") << quarantine;
  }
}

TEST(read_whole_file, reads_every_byte_or_reports_the_system_error) {
  const TempDir dir;
  // Empty, tiny, around the 64 KiB first read of a file of unknown size, large.
  for (const std::size_t size : {0, 1, 65535, 65536, 65537, (1 << 20) + 3}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    spill(dir / "in.csv", bytes);
    Result<ByteBuffer> read = read_whole_file(dir / "in.csv");
    ASSERT_TRUE(read) << read.error().text();
    EXPECT_TRUE(read.value().view() == bytes) << size << " bytes";
  }
  EXPECT_EQ(read_whole_file(dir / "missing.csv").error().os_error, ENOENT);
  EXPECT_EQ(read_whole_file(dir / "").error().os_error, EISDIR);
  EXPECT_EQ(read_whole_file(std::string("in.csv\0", 7)).error().cause,
            MendleError::Cause::NulInPath);
  EXPECT_EQ(read_whole_file(dir / "in.csv/below").error().os_error, ENOTDIR);
}

}  // namespace
}  // namespace csv_mendle

namespace csv_mendle {
namespace {

// Repairs `data` both ways and expects the same files and counts.
void expect_file_repair_is_the_in_memory_repair(const testing::TempDir& dir,
                                                const std::string& data,
                                                const RepairOptions& options) {
  testing::spill(dir / "in.csv", data);
  Result<RepairReport> report =
      mendle_file(InputSource::path(dir / "in.csv"), dir / "out.csv", std::string(dir / "q.csv"),
                  options);
  ASSERT_TRUE(report);

  const SliceOutcome outcome = mendle_slice(data, options);
  const OutputDialect dialect(static_cast<unsigned char>(outcome.report.detected_delimiter),
                              static_cast<unsigned char>(outcome.report.detected_quote));
  std::string output, quarantine(kQuarantineHeader);
  if (outcome.header) {
    // The header is the first line, written as any row is.
    RowTable header;
    header.open_row();
    for (const std::string& name : *outcome.header) {
      header.text() += name;
      header.close_field();
    }
    append_output_line(output, header.open_view(), dialect);
  }
  for (std::size_t r = 0; r < outcome.rows.size(); ++r) {
    append_output_line(output, outcome.rows.row(r), dialect);
  }
  for (const QuarantineRecord& record : outcome.quarantine) {
    append_quarantine_line(quarantine, record, dialect);
  }
  ASSERT_EQ(testing::slurp(dir / "out.csv"), output) << "input «" << data << "»";
  ASSERT_EQ(testing::slurp(dir / "q.csv"), quarantine) << "input «" << data << "»";
  EXPECT_EQ(report.value(), outcome.report);
}

// File repair writes plain rows straight from the input; whatever the input
// and the options, its files must hold exactly the in-memory repair's rows
// and records, written by the writer.
TEST(mendle_file, writes_exactly_the_in_memory_repair) {
  const testing::TempDir dir;
  const char alphabet[] = {'a',  'b',  ',',    ',',    ';',    '"',    '"',   '\'',
                           ' ',  '\r', '\n',   '\n',   '\xC3', '\xA9', '\\'};
  std::uint64_t state = 99;
  const auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::size_t>(state >> 33);
  };
  for (int round = 0; round < 1500; ++round) {
    std::string data;
    const std::size_t length = next() % 40;
    for (std::size_t i = 0; i < length; ++i) data += alphabet[next() % sizeof alphabet];
    RepairOptions options;
    if (next() % 2) options.delimiter = next() % 2 ? ',' : ';';
    if (next() % 3 == 0) options.quote_char = '\'';
    if (next() % 2) options.expected_columns = next() % 4;
    options.fill_ragged_rows = next() % 2;
    options.merge_overflow = next() % 2;
    options.repair_quotes = next() % 2;
    options.header = next() % 3 == 0;
    options.sniff_quote = next() % 4 == 0;
    options.skip_initial_space = next() % 4 == 0;
    if (next() % 4 == 0) options.escape = '\\';
    expect_file_repair_is_the_in_memory_repair(dir, data, options);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// The same on files of long rows, where runs of rows that pass through
// unchanged are written as spans of the input, broken by rows that are set
// aside, padded, merged or rewritten, and where the last row may lack its
// line break or the file start with a byte-order mark.
TEST(mendle_file, writes_exactly_the_in_memory_repair_of_long_rows) {
  const testing::TempDir dir;
  std::mt19937 rng(4242);
  const auto pick = [&](std::size_t size) {
    return std::uniform_int_distribution<std::size_t>(0, size - 1)(rng);
  };
  const char* const tokens[] = {
      "alpha",          "beta",      "",          "\"x, y\"",    "\"plain\"",
      "\"say \"\"hi\"\"\"", "\"a \"b\" c\"", "mid\"quote", "caf\xC3\xA9",  "bad\xFF",
      "\"q\" ",        "\"two\nlines\"",  "0123456789012345678901234567890123456789"};
  for (int round = 0; round < 300; ++round) {
    std::string data = pick(8) == 0 ? "\xEF\xBB\xBF" : "";
    const std::size_t rows = 1 + pick(30);
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t fields = pick(10) == 0 ? 0 : 2 + pick(6);
      for (std::size_t f = 0; f < fields; ++f) {
        if (f > 0) data += ',';
        data += tokens[pick(6) == 0 ? pick(std::size(tokens)) : pick(5)];
        if (pick(2) == 0) data += tokens[pick(2)];
      }
      data += pick(8) == 0 ? "\r\n" : "\n";
    }
    if (pick(2) == 0) data.pop_back();
    RepairOptions options;
    if (pick(2)) options.expected_columns = 3 + pick(3);
    options.fill_ragged_rows = pick(3) != 0;
    options.merge_overflow = pick(3) != 0;
    options.repair_quotes = pick(4) != 0;
    options.header = pick(3) == 0;
    expect_file_repair_is_the_in_memory_repair(dir, data, options);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace csv_mendle
