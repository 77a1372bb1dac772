// Each call converts its arguments and copies the paths first, then reads,
// repairs and writes outside the interpreter, and builds its Python results
// after: the run touches no Python object, and other threads go on.
#include "package_calls.hpp"

#include <array>
#include <optional>
#include <utility>

#include "buffer_view.hpp"
#include "convert.hpp"
#include "file_arguments.hpp"
#include "file_io.hpp"
#include "heuristics.hpp"
#include "mendle.hpp"
#include "mendle_file.hpp"
#include "owned_ref.hpp"
#include "repaired_rows.hpp"
#include "report_dict.hpp"
#include "transcode.hpp"
#include "utf8.hpp"

namespace csv_mendle::python {

namespace {

// ---- results ----

// The summary's six values, `changes`, the account of the same pass, the
// `encoding` the input was read in and the `compression` it was
// decompressed from (None when it was not).
PyObject* result_dict(const RepairReport& report) {
  OwnedRef result = OwnedRef::steal(report_dict(report));
  if (!result) return nullptr;
  const OwnedRef changes = OwnedRef::steal(changes_dict(report.changes));
  if (!changes || PyDict_SetItemString(result.get(), "changes", changes.get()) < 0) return nullptr;
  const std::string_view name = encoding_name(report.encoding);
  const OwnedRef encoding = OwnedRef::steal(
      PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!encoding || PyDict_SetItemString(result.get(), "encoding", encoding.get()) < 0) {
    return nullptr;
  }
  const std::string_view format = compression_name(report.compression);
  const OwnedRef compression =
      format.empty() ? OwnedRef::borrow(Py_None)
                     : OwnedRef::steal(PyUnicode_FromStringAndSize(
                           format.data(), static_cast<Py_ssize_t>(format.size())));
  if (!compression || PyDict_SetItemString(result.get(), "compression", compression.get()) < 0) {
    return nullptr;
  }
  return result.release();
}

// A new tuple of two new references, which it takes over; null when either
// is (its exception set) or the tuple cannot be made.
PyObject* pair(OwnedRef first, OwnedRef second) {
  if (!first || !second) return nullptr;
  return PyTuple_Pack(2, first.get(), second.get());
}

// ---- the encoding ----

// The options of the package's own API, after the backend's six: the
// encoding the input is read in (UTF-8 by default, as the backend reads),
// the lines before the table, and the comment byte.
constexpr Param kPackageOptionParams[] = {
    {.name = "encoding", .kind = ParamKind::Text, .text_default = "utf-8"},
    {.name = "skip_rows", .kind = ParamKind::OptionalCount},
    {.name = "comment", .kind = ParamKind::OptionalText},
};
constexpr std::size_t kPackageOptionCount = std::size(kPackageOptionParams);

template <std::size_t N>
constexpr std::array<Param, N + kPackageOptionCount> with_package_options(
    const std::array<Param, N>& params) {
  std::array<Param, N + kPackageOptionCount> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = params[i];
  for (std::size_t i = 0; i < kPackageOptionCount; ++i) out[N + i] = kPackageOptionParams[i];
  return out;
}

// The repair options held by the parameters from `first` on: the backend's
// six, then skip_rows and comment (an empty comment is none).
RepairOptions package_options(const Arguments& arguments, std::size_t first) {
  RepairOptions options = arguments.repair_options(first);
  const std::size_t extra = first + kRepairOptionCount;
  options.skip_rows = arguments.count(extra + 1).value_or(0);
  const std::optional<std::string_view> comment = arguments.optional_text(extra + 2);
  if (comment && !comment->empty()) options.comment = static_cast<unsigned char>(comment->front());
  return options;
}

// The request the name at `index` stands for; nothing, with LookupError
// set as Python's codecs raise it, for a name no encoding has.
std::optional<EncodingRequest> encoding_argument(const Arguments& arguments, std::size_t index) {
  const std::string_view name = arguments.text(index);
  std::optional<EncodingRequest> request = encoding_request(name);
  if (!request) {
    PyErr_Format(PyExc_LookupError, "unknown encoding: %.*s", static_cast<int>(name.size()),
                 name.data());
  }
  return request;
}

// The package's API reads compressed input, as the backend does not.
InputRequest package_input(const EncodingRequest& encoding) {
  return {.encoding = encoding, .decompress = true};
}

// ---- repair ----

constexpr Param kRepairPaths[] = {
    {.name = "source", .kind = ParamKind::Object},
    {.name = "output", .kind = ParamKind::Object},
    {.name = "quarantine", .kind = ParamKind::Object},
};
constexpr auto kRepairParams = with_package_options(with_repair_options(kRepairPaths));
constexpr Signature kRepairSignature{"repair", kRepairParams, 2};

PyObject* Package_repair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kRepairSignature, args, nargs, kwnames) < 0) return nullptr;
    SourceArgument source;
    FsPath output;
    std::optional<FsPath> quarantine;
    if (source.take(arguments.object(0)) < 0 || fs_path(arguments.object(1), output) < 0 ||
        optional_fs_path(arguments.object(2), quarantine) < 0) {
      return nullptr;
    }
    const RepairOptions options = package_options(arguments, std::size(kRepairPaths));
    const std::optional<EncodingRequest> encoding =
        encoding_argument(arguments, std::size(kRepairPaths) + kRepairOptionCount);
    if (!encoding) return nullptr;
    Result<RepairReport> result = outside_interpreter([&] {
      return mendle_file(source.input(), output.native, native_path(quarantine), options,
                         package_input(*encoding));
    });
    if (!result) {
      return raise_file_error(result.error(),
                              {source.shown(), output.shown.get(),
                               quarantine ? quarantine->shown.get() : nullptr});
    }
    return result_dict(result.value());
  });
}

// ---- read ----

constexpr Param kReadPaths[] = {{.name = "source", .kind = ParamKind::Object}};
constexpr auto kReadParams = with_package_options(with_repair_options(kReadPaths));
constexpr Signature kReadSignature{"read", kReadParams, 1};

PyObject* Package_read(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kReadSignature, args, nargs, kwnames) < 0) return nullptr;
    SourceArgument source;
    if (source.take(arguments.object(0)) < 0) return nullptr;
    const RepairOptions options = package_options(arguments, std::size(kReadPaths));
    const std::optional<EncodingRequest> encoding =
        encoding_argument(arguments, std::size(kReadPaths) + kRepairOptionCount);
    if (!encoding) return nullptr;
    Result<IndexOutcome> outcome = outside_interpreter(
        [&] { return mendle_indexed_file(source.input(), options, package_input(*encoding)); });
    if (!outcome) return raise_file_error(outcome.error(), {.input = source.shown()});
    IndexOutcome& repaired = outcome.value();
    // Moved, not copied: the input and the table become the rows object's.
    return pair(OwnedRef::steal(repaired_rows_new(DeliveredRows(std::move(repaired.rows)))),
                OwnedRef::steal(result_dict(repaired.report)));
  });
}

// ---- sniff_dialect ----

constexpr Param kSniffDialectParams[] = {
    {.name = "sample", .kind = ParamKind::Object},
    {.name = "quote_char", .kind = ParamKind::Text, .text_default = "\""},
};
constexpr Signature kSniffDialectSignature{"sniff_dialect", kSniffDialectParams, 1};

PyObject* Package_sniff_dialect(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kSniffDialectSignature, args, nargs, kwnames) < 0) return nullptr;
    BufferView sample;
    if (sample.take(arguments.object(0)) < 0) return nullptr;
    // Only the quote counts: the delimiter and the width are to be found.
    RepairOptions options;
    options.quote_char = repair_options(std::nullopt, arguments.text(1), true, true,
                                        std::nullopt, true).quote_char;
    // A sample is a file's head, quick to read: the interpreter stays.
    const Dialect dialect = settle_dialect(sample.bytes(), options);
    const std::string delimiter(latin1_char(dialect.delimiter).view());
    return pair(OwnedRef::steal(text_object(delimiter)),
                OwnedRef::steal(PyLong_FromUInt64(dialect.expected_columns)));
  });
}

}  // namespace

PyMethodDef repair_definition = {
    "repair",
    as_cfunction(&Package_repair),
    METH_FASTCALL | METH_KEYWORDS,
    "repair(source, output, quarantine=None, delimiter=None, quote_char=\"\\\"\", "
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True, "
    "encoding=\"utf-8\", skip_rows=None, comment=None)"
    "\n--\n\n"
    "Repairs the CSV file `source`, read in `encoding`, into `output` (UTF-8), and\n"
    "writes the rows set aside to `quarantine` when given.  The paths are str, bytes\n"
    "or os.PathLike; `source` may also be the input itself, as a bytes-like object\n"
    "other than bytes or a binary file object.  Input compressed with gzip, bzip2,\n"
    "xz or zstd is decompressed.  Returns a dict of the summary's six values,\n"
    "`changes`, the account by kind of change, the `encoding` read and the\n"
    "`compression` (None for plain input).\n"
    "The interpreter is left while the files are read, repaired and written.",
};

PyMethodDef read_definition = {
    "read",
    as_cfunction(&Package_read),
    METH_FASTCALL | METH_KEYWORDS,
    "read(source, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True, encoding=\"utf-8\", "
    "skip_rows=None, comment=None)\n--\n\n"
    "Reads and repairs the CSV input `source` (as for repair()) in memory.\n"
    "Returns (rows, result):\n"
    "the RepairedRows, each a new list of str, and the dict that repair() returns.",
};

PyMethodDef sniff_dialect_definition = {
    "sniff_dialect",
    as_cfunction(&Package_sniff_dialect),
    METH_FASTCALL | METH_KEYWORDS,
    "sniff_dialect(sample, quote_char=\"\\\"\")\n--\n\n"
    "The delimiter and the column count that a repair of data starting with the\n"
    "bytes `sample` would find: (delimiter, columns), columns 0 when no row counts.",
};

}  // namespace csv_mendle::python
