#include "mendle_file_binding.hpp"

#include "convert.hpp"
#include "mendle_file.hpp"
#include "summary.hpp"

namespace csv_mendle::python {

namespace {

constexpr Param kMendleFilePaths[] = {
    {.name = "input_path", .kind = ParamKind::Text},
    {.name = "output_path", .kind = ParamKind::Text},
    {.name = "quarantine_path", .kind = ParamKind::OptionalText},
};
constexpr auto kMendleFileParams = with_repair_options(kMendleFilePaths);
constexpr Signature kMendleFileSignature{"mendle_file", kMendleFileParams, 2};
constexpr std::size_t kFirstOption = std::size(kMendleFilePaths);

PyObject* Module_mendle_file(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded_object([&]() -> PyObject* {
    Arguments arguments;
    if (arguments.parse(kMendleFileSignature, args, nargs, kwnames) < 0) return nullptr;
    const RepairOptions options = arguments.repair_options(kFirstOption);
    // The run keeps the interpreter attached from start to end; the paths
    // are views into the argument str objects, alive until we return.
    Result<RepairReport> result = csv_mendle::mendle_file(
        InputSource::path(arguments.text(0)), arguments.text(1), arguments.optional_text(2),
        options);
    if (!result) return raise_plain_os_error(result.error());
    return summary_new(result.value());
  });
}

}  // namespace

PyMethodDef mendle_file_definition = {
    "mendle_file",
    as_cfunction(&Module_mendle_file),
    METH_FASTCALL | METH_KEYWORDS,
    "mendle_file(input_path, output_path, quarantine_path=None, delimiter=None, "
    "quote_char=\"\\\"\", fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
    "repair_quotes=True)\n--\n\n"
    "Mendles a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
    "\n"
    "Args:\n"
    "    input_path: Path to the corrupted CSV file.\n"
    "    output_path: Path where the repaired CSV file will be written.\n"
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
    "    delimiter: Optional single-character delimiter (e.g. \",\" or \";\"). If None, "
    "auto-sniffed.\n"
    "    quote_char: Optional single-character quote enclosure (default '\"').\n"
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
    "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.",
};

}  // namespace csv_mendle::python
