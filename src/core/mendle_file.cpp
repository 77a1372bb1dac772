#include "mendle_file.hpp"

#include <sys/stat.h>

#include <string>
#include <utility>

#include "csv_writer.hpp"
#include "file_io.hpp"

namespace csv_mendle {

namespace {

// True when both paths name an existing file and it is the same one, however
// each path spells it (another relative form, a symbolic or hard link).
bool same_existing_file(std::string_view a, std::string_view b) {
  if (a.find('\0') != std::string_view::npos || b.find('\0') != std::string_view::npos) {
    return false;
  }
  struct stat first, second;
  return ::stat(std::string(a).c_str(), &first) == 0 &&
         ::stat(std::string(b).c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// True when `path` names the file open as `fd`.
bool names_open_file(std::string_view path, int fd) {
  if (path.find('\0') != std::string_view::npos) return false;
  struct stat named, open;
  return ::fstat(fd, &open) == 0 && ::stat(std::string(path).c_str(), &named) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

Status write_rows(BufferedWriter& writer, const RowTable& rows, const OutputDialect& dialect) {
  std::string line;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    line.clear();
    append_output_line(line, rows.row(i), dialect);
    Status written = writer.write_line(line);
    if (!written) return written;
  }
  return writer.flush();
}

Status write_quarantine(BufferedWriter& writer, const std::vector<QuarantineRecord>& records,
                        const OutputDialect& dialect) {
  Status written = writer.write_line(quarantine_header);
  if (!written) return written;
  std::string line;
  for (const QuarantineRecord& record : records) {
    line.clear();
    append_quarantine_line(line, record, dialect);
    written = writer.write_line(line);
    if (!written) return written;
  }
  return writer.flush();
}

}  // namespace

Result<std::string> read_whole_file(std::string_view path) {
  Result<UniqueFd> file = open_for_reading(path);
  if (!file) return file.error();
  return read_all(file.value().get());
}

Result<RepairReport> mendle_file(std::string_view input_path, std::string_view output_path,
                                 std::optional<std::string_view> quarantine_path,
                                 const RepairOptions& options) {
  // Writing the quarantine file over the output file would destroy the
  // repaired rows, so that is refused before any file is touched.
  const auto quarantine_is_output = MendleError::of(MendleError::Cause::QuarantineIsOutput);
  if (quarantine_path &&
      (*quarantine_path == output_path || same_existing_file(*quarantine_path, output_path))) {
    return quarantine_is_output;
  }

  // Declared first so that it is closed last, on every path.
  Result<UniqueFd> input = open_for_reading(input_path);
  if (!input) return input.error();
  // The whole input is in memory before any output file is created, so the
  // output may replace the input file itself.
  Result<std::string> buffer = read_all(input.value().get());
  if (!buffer) return buffer.error();
  SliceOutcome outcome = mendle_slice(buffer.value(), options);

  Result<UniqueFd> output_file = create_for_writing(output_path);
  if (!output_file) return output_file.error();
  // The outcome's delimiter is the one the repair used, given or detected.
  const OutputDialect dialect(static_cast<unsigned char>(outcome.detected_delimiter),
                              options.quote_char);
  BufferedWriter output(std::move(output_file).value());
  if (Status written = write_rows(output, outcome.rows, dialect); !written) {
    return written.error();
  }

  if (quarantine_path) {
    // Two spellings of a path that did not exist before the output was
    // created could not be compared up front; now the output exists.
    if (names_open_file(*quarantine_path, output.fd())) return quarantine_is_output;
    Result<UniqueFd> quarantine_file = create_for_writing(*quarantine_path);
    if (!quarantine_file) return quarantine_file.error();
    BufferedWriter quarantine(std::move(quarantine_file).value());
    if (Status written = write_quarantine(quarantine, outcome.quarantine, dialect); !written) {
      return written.error();
    }
    if (Status closed = quarantine.close(); !closed) return closed.error();
  }
  if (Status closed = output.close(); !closed) return closed.error();

  return RepairReport{outcome.total_rows,       outcome.mendled_rows,     outcome.repaired_rows,
                      outcome.quarantined_rows, outcome.inferred_columns, outcome.detected_delimiter};
}

}  // namespace csv_mendle
