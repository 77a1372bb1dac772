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
  const OwnedRef quote = OwnedRef::steal(
      text_object(std::string(latin1_char(static_cast<unsigned char>(report.detected_quote)).view())));
  if (!quote || PyDict_SetItemString(result.get(), "quote_char", quote.get()) < 0) return nullptr;
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

// The header's fields as a new list of str, or None without a header.
PyObject* header_list(const Header& header) {
  if (!header) return Py_NewRef(Py_None);
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(header->size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < header->size(); ++i) {
    PyObject* name = text_object((*header)[i]);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return list.release();
}

// A new tuple of new references, which it takes over; null when any is (its
// exception set) or the tuple cannot be made.
template <class... Refs>
PyObject* tuple_of(Refs... items) {
  if (!(items && ...)) return nullptr;
  return PyTuple_Pack(sizeof...(Refs), items.get()...);
}

// ---- the encoding ----

// The options of the package's own API, after the backend's six: the
// encoding the input is read in (UTF-8 by default, as the backend reads),
// the lines before the table, the comment byte and the other dialects.
// The package checks their values; here a text stands for its first byte,
// as the backend's delimiter does.
enum PackageOption : std::size_t {
  kEncoding,
  kSkipRows,
  kComment,
  kSkipInitialSpace,
  kEscapeChar,
  kHeader,
  kSniffQuote,
};
constexpr Param kPackageOptionParams[] = {
    {.name = "encoding", .kind = ParamKind::Text, .text_default = "utf-8"},
    {.name = "skip_rows", .kind = ParamKind::OptionalCount},
    {.name = "comment", .kind = ParamKind::OptionalText},
    {.name = "skip_initial_space", .kind = ParamKind::Flag},
    {.name = "escape_char", .kind = ParamKind::OptionalText},
    {.name = "header", .kind = ParamKind::Flag},
    {.name = "sniff_quote", .kind = ParamKind::Flag},
};
constexpr std::size_t kPackageOptionCount = std::size(kPackageOptionParams);

template <std::size_t N, std::size_t M>
constexpr std::array<Param, N + M> joined(const std::array<Param, N>& first,
                                          const Param (&second)[M]) {
  std::array<Param, N + M> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = first[i];
  for (std::size_t i = 0; i < M; ++i) out[N + i] = second[i];
  return out;
}

// The repair options held by the parameters from `first` on: the backend's
// six, then the package's own.
RepairOptions package_options(const Arguments& arguments, std::size_t first) {
  RepairOptions options = arguments.repair_options(first);
  const std::size_t extra = first + kRepairOptionCount;
  options.skip_rows = arguments.count(extra + kSkipRows).value_or(0);
  options.comment = first_byte(arguments.optional_text(extra + kComment));
  options.skip_initial_space = arguments.flag(extra + kSkipInitialSpace);
  options.escape = first_byte(arguments.optional_text(extra + kEscapeChar));
  options.header = arguments.flag(extra + kHeader);
  options.sniff_quote = arguments.flag(extra + kSniffQuote);
  return options;
}

// How `repair` writes its output, after the package's options.
enum OutputOption : std::size_t { kLineTerminator, kWriteBom, kOutputDelimiter, kOutputQuoteChar };
constexpr Param kOutputParams[] = {
    {.name = "line_terminator", .kind = ParamKind::Text, .text_default = "\n"},
    {.name = "write_bom", .kind = ParamKind::Flag},
    {.name = "output_delimiter", .kind = ParamKind::OptionalText},
    {.name = "output_quote_char", .kind = ParamKind::OptionalText},
};

OutputOptions output_options(const Arguments& arguments, std::size_t first) {
  return {.delimiter = first_byte(arguments.optional_text(first + kOutputDelimiter)),
          .quote = first_byte(arguments.optional_text(first + kOutputQuoteChar)),
          .crlf = arguments.text(first + kLineTerminator) == "\r\n",
          .bom = arguments.flag(first + kWriteBom)};
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
constexpr auto kRepairParams =
    joined(joined(with_repair_options(kRepairPaths), kPackageOptionParams), kOutputParams);
constexpr Signature kRepairSignature{"repair", kRepairParams, 2};
constexpr std::size_t kRepairOptionsAt = std::size(kRepairPaths);
constexpr std::size_t kRepairOutputAt = kRepairOptionsAt + kRepairOptionCount + kPackageOptionCount;

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
    const RepairOptions options = package_options(arguments, kRepairOptionsAt);
    const OutputOptions written = output_options(arguments, kRepairOutputAt);
    const std::optional<EncodingRequest> encoding =
        encoding_argument(arguments, kRepairOptionsAt + kRepairOptionCount + kEncoding);
    if (!encoding) return nullptr;
    Result<RepairReport> result = outside_interpreter([&] {
      return mendle_file(source.input(), output.native, native_path(quarantine), options,
                         package_input(*encoding), written);
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
constexpr auto kReadParams = joined(with_repair_options(kReadPaths), kPackageOptionParams);
constexpr Signature kReadSignature{"read", kReadParams, 1};

PyObject* Package_read(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kReadSignature, args, nargs, kwnames) < 0) return nullptr;
    SourceArgument source;
    if (source.take(arguments.object(0)) < 0) return nullptr;
    const RepairOptions options = package_options(arguments, std::size(kReadPaths));
    const std::optional<EncodingRequest> encoding =
        encoding_argument(arguments, std::size(kReadPaths) + kRepairOptionCount + kEncoding);
    if (!encoding) return nullptr;
    Result<IndexOutcome> outcome = outside_interpreter(
        [&] { return mendle_indexed_file(source.input(), options, package_input(*encoding)); });
    if (!outcome) return raise_file_error(outcome.error(), {.input = source.shown()});
    IndexOutcome& repaired = outcome.value();
    // Built before the rows object takes the header over.
    OwnedRef header = OwnedRef::steal(header_list(repaired.header));
    // Moved, not copied: the input and the table become the rows object's.
    return tuple_of(OwnedRef::steal(repaired_rows_new(DeliveredRows(std::move(repaired.rows)),
                                                      std::move(repaired.header))),
                    OwnedRef::steal(result_dict(repaired.report)), std::move(header));
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
    options.quote_char = first_byte(arguments.text(1)).value_or('"');
    // A sample is a file's head, quick to read: the interpreter stays.
    const Dialect dialect = settle_dialect(sample.bytes(), options);
    const std::string delimiter(latin1_char(dialect.delimiter).view());
    return tuple_of(OwnedRef::steal(text_object(delimiter)),
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
    "encoding=\"utf-8\", skip_rows=None, comment=None, skip_initial_space=False, "
    "escape_char=None, header=False, sniff_quote=False, line_terminator=\"\\n\", "
    "write_bom=False, output_delimiter=None, output_quote_char=None)"
    "\n--\n\n"
    "Repairs the CSV file `source`, read in `encoding`, into `output` (UTF-8, in\n"
    "the output dialect given), and writes the rows set aside to `quarantine` when\n"
    "given.  csv_mendle.repair() checks the option values; here a text stands for\n"
    "its first byte.  The paths are str, bytes or os.PathLike; `source` may also be\n"
    "the input itself, as a bytes-like object other than bytes or a binary file\n"
    "object.  Input compressed with gzip, bzip2, xz or zstd is decompressed.\n"
    "Returns a dict of the summary's six values, `changes`, the account by kind of\n"
    "change, the `encoding` read, the `quote_char` applied and the `compression`\n"
    "(None for plain input).\n"
    "With `header`, the table's first row is its header and sets the width; with\n"
    "`sniff_quote`, the quote is found among '\"' and \"'\", `quote_char` unread.\n"
    "The interpreter is left while the files are read, repaired and written.",
};

PyMethodDef read_definition = {
    "read",
    as_cfunction(&Package_read),
    METH_FASTCALL | METH_KEYWORDS,
    "read(source, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True, encoding=\"utf-8\", "
    "skip_rows=None, comment=None, skip_initial_space=False, escape_char=None, header=False, "
    "sniff_quote=False)\n--\n\n"
    "Reads and repairs the CSV input `source` (as for repair()) in memory.  Returns\n"
    "(rows, result, header): the RepairedRows, each a new list of str, the dict that\n"
    "repair() returns, and the header's fields as a list of str (None without\n"
    "`header`).",
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
