"""The package's own API: `repair` a file, `read` its repaired rows, and
`sniff_dialect` a sample.  The input is a path or, for `repair` and `read`,
the data themselves, and may be compressed.  Each call does its reading, repairing and writing
outside the interpreter, so other threads run meanwhile; its result carries
the account of what the repair changed, kind by kind."""

import os

from . import _csv_mendle

# Importing csv_mendle stays cheap: typing, collections and dataclasses
# (which pulls in inspect) would add more than ten times the native modules'
# own import time to every short-lived process, as `python -X importtime`
# shows; the annotations that name them are never evaluated at run time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer, Iterator
    from types import CapsuleType, TracebackType
    from typing import Any, Literal, Protocol, Self, SupportsIndex, TypedDict

    # Optional, and without type information where installed: the
    # conveniences' results are typed by name only.
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import polars  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

    class RepairResultDict(TypedDict):
        """`RepairResult.to_dict()`: plain values, ready for `json.dumps`."""

        total_rows: int
        mendled_rows: int
        repaired_rows: int
        quarantined_rows: int
        detected_delimiter: str
        inferred_columns: int
        changes: dict[str, dict[str, int]]
        encoding: str
        quote_char: str
        compression: str | None

    class BinaryReader(Protocol):
        """A binary file object: read() gives the whole rest of it as bytes."""

        def read(self, /) -> Buffer: ...

type Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
# A path, or the input itself: a bytes-like object other than bytes (bytes
# are a path), or a binary file object.
type Source = Path | Buffer | BinaryReader

_FIELDS = (
    "total_rows",
    "mendled_rows",
    "repaired_rows",
    "quarantined_rows",
    "detected_delimiter",
    "inferred_columns",
    "changes",
    "encoding",
    "quote_char",
    "compression",
)


class RepairResult:
    """What one repair did.

    The six counts of a summary (`MendleSummary`), under the same names, and
    `changes`: for each kind of change that occurred, a dict with at least
    `rows` (how many rows it touched) and `first_line` (the line the first of
    them starts on).  The kinds are `quotes_repaired`, `padded`, `merged`,
    `quarantined_short`, `quarantined_long`, `blank_lines`, `invalid_utf8`
    (with `sequences`, the byte sequences replaced by U+FFFD),
    `unclosed_quote` (with `absorbed_lines`, the line breaks taken into the
    field) and `bom_removed`.  A kind that did not occur is absent.
    `encoding` names the encoding the input was read in, `quote_char` the
    quote the rows were read with (the one given, or the one sniffed), and
    `compression` the format the input was decompressed from ("gzip",
    "bzip2", "xz", "zstd"; None for plain input)."""

    __slots__ = _FIELDS

    total_rows: int
    mendled_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    changes: dict[str, dict[str, int]]
    encoding: str
    quote_char: str
    compression: str | None

    def __init__(
        self,
        total_rows: int,
        mendled_rows: int,
        repaired_rows: int,
        quarantined_rows: int,
        detected_delimiter: str,
        inferred_columns: int,
        changes: dict[str, dict[str, int]],
        encoding: str = "utf-8",
        quote_char: str = '"',
        compression: str | None = None,
    ) -> None:
        values = (total_rows, mendled_rows, repaired_rows, quarantined_rows, detected_delimiter,
                  inferred_columns, changes, encoding, quote_char, compression)
        for name, value in zip(_FIELDS, values):
            object.__setattr__(self, name, value)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"RepairResult is read-only: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"RepairResult is read-only: cannot delete {name!r}")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, RepairResult):
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in _FIELDS)

    __hash__ = None  # type: ignore[assignment]  # `changes` is a dict

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={getattr(self, name)!r}" for name in _FIELDS)
        return f"RepairResult({values})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (RepairResult, tuple(getattr(self, name) for name in _FIELDS))

    def to_dict(self) -> RepairResultDict:
        """The result as a new dict of plain values (its `changes` copied)."""
        return {
            "total_rows": self.total_rows,
            "mendled_rows": self.mendled_rows,
            "repaired_rows": self.repaired_rows,
            "quarantined_rows": self.quarantined_rows,
            "detected_delimiter": self.detected_delimiter,
            "inferred_columns": self.inferred_columns,
            "changes": {kind: dict(counts) for kind, counts in self.changes.items()},
            "encoding": self.encoding,
            "quote_char": self.quote_char,
            "compression": self.compression,
        }


# The delimiters that may be given by name, as the command line takes them.
DELIMITER_NAMES = {"comma": ",", "semicolon": ";", "tab": "\t", "pipe": "|", "colon": ":", "space": " "}
# The quotes that quote_char=None chooses among.
SNIFFED_QUOTES = ('"', "'")
LINE_TERMINATORS = ("\n", "\r\n")


def _lines(skip_rows: int) -> int:
    """`skip_rows`, checked: a whole number of lines, 0 or more."""
    if isinstance(skip_rows, bool) or not isinstance(skip_rows, int) or skip_rows < 0:
        raise ValueError(f"skip_rows must be a whole number of lines, 0 or more, not {skip_rows!r}")
    return skip_rows


def _character(option: str, value: str | None, names: dict[str, str] | None = None) -> str | None:
    """An optional one-character option, checked: one ASCII character other
    than CR and LF (or, where `names` are given, one of their names).  The
    core reads single bytes, so a longer text or a character beyond ASCII
    could only be cut short."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{option} must be a str or None, not {type(value).__name__}")
    char = names.get(value.lower(), value) if names else value
    if len(char) != 1 or not char.isascii() or char in "\r\n":
        named = f" or one of {', '.join(names)}" if names else ""
        raise ValueError(f"{option} must be one ASCII character other than CR and LF{named}, not {value!r}")
    return char


def _distinct(**characters: str | tuple[str, ...] | None) -> None:
    """Raises ValueError when two of the options' characters coincide (a
    tuple stands for every character an option may turn out to be)."""
    seen: dict[str, str] = {}
    for option, value in characters.items():
        for char in (value,) if isinstance(value, str) else value or ():
            if char in seen and seen[char] != option:
                raise ValueError(f"{seen[char]} and {option} must differ, but both are {char!r}")
            seen.setdefault(char, option)


def _read_options(
    delimiter: str | None, quote_char: str | None, expected_columns: SupportsIndex | None,
    repair_quotes: bool, fill_ragged_rows: bool, merge_overflow: bool, encoding: str,
    skip_rows: int, comment: str | None, skip_initial_space: bool, escape_char: str | None,
    header: bool,
) -> tuple[Any, ...]:
    """How the input is read, checked, as the native calls take it after the
    source: the backend's six options, then the package's own."""
    delimiter = _character("delimiter", delimiter, DELIMITER_NAMES)
    sniff_quote = quote_char is None
    quote = _character("quote_char", quote_char)
    escape_char = _character("escape_char", escape_char)
    _distinct(delimiter=delimiter, quote_char=SNIFFED_QUOTES if sniff_quote else quote,
              escape_char=escape_char)
    return (delimiter, '"' if quote is None else quote, fill_ragged_rows, merge_overflow,
            expected_columns, repair_quotes, encoding, _lines(skip_rows), _character("comment", comment),
            skip_initial_space, escape_char, header, sniff_quote)


def _output_options(
    delimiter: str | None, quote_char: str | None, line_terminator: str, write_bom: bool,
    output_delimiter: str | None, output_quote_char: str | None,
) -> tuple[Any, ...]:
    """How `repair` writes, checked, as the native call takes it last;
    `delimiter` and `quote_char` are those read, already checked.  Where the
    delimiter is sniffed, the core checks it against the output quote."""
    if line_terminator not in LINE_TERMINATORS:
        raise ValueError(f"line_terminator must be '\\n' or '\\r\\n', not {line_terminator!r}")
    output_delimiter = _character("output_delimiter", output_delimiter, DELIMITER_NAMES)
    output_quote_char = _character("output_quote_char", output_quote_char)
    written_delimiter = output_delimiter or delimiter
    written_quote = output_quote_char or (SNIFFED_QUOTES if quote_char is None else quote_char)
    if written_delimiter is not None:
        _distinct(output_delimiter=written_delimiter, output_quote_char=written_quote)
    return (line_terminator, write_bom, output_delimiter, output_quote_char)


def repair(
    source: Source,
    output: Path,
    *,
    quarantine: Path | None = None,
    delimiter: str | None = None,
    quote_char: str | None = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    encoding: str = "utf-8",
    skip_rows: int = 0,
    comment: str | None = None,
    skip_initial_space: bool = False,
    escape_char: str | None = None,
    header: bool = False,
    line_terminator: str = "\n",
    write_bom: bool = False,
    output_delimiter: str | None = None,
    output_quote_char: str | None = None,
) -> RepairResult:
    """Repairs the CSV file `source` into `output`, a standard CSV file in the
    delimiter applied; rows set aside go to `quarantine` when it is given.

    The options are those of `mendle_file`, and more; at their defaults the
    output is byte for byte that of `mendle_file`.

    How the input is read:
    - `delimiter`: one ASCII character, or a name: comma, semicolon, tab,
      pipe, colon, space; None (the default) sniffs it.
    - `quote_char`: one ASCII character, or None to choose between `"` and
      `'` from the same sample as the delimiter (`result.quote_char` tells
      which).
    - `encoding`: "utf-8" (the default; bytes that are not UTF-8 become
      U+FFFD and are counted), "cp1252", "latin-1", "utf-16", "utf-16-le",
      "utf-16-be", "utf-32" and its orders, or "auto" (a byte-order mark
      decides, else valid UTF-8 stays UTF-8, else cp1252); `result.encoding`
      says which was read.  An unknown name raises LookupError; UTF-16 or
      UTF-32 input that is no whole number of its code units ValueError.
    - `skip_rows` drops that many physical lines before the table (a title,
      an export note, Excel's "sep=;" line), and `comment` (one character)
      every line that starts with it; both are counted in `changes`
      (`skipped_lines`, `comment_lines`), and the lines after them keep
      their numbers.
    - `header=True`: the table's first row (past those lines and any blank
      lines, which count as skipped) is its header: unless
      `expected_columns` is given, its field count is the width every row is
      brought to, and it is never padded, merged or set aside.  It is the
      output's first line, and counts as a delivered row.
    - `skip_initial_space=True`: blanks after a delimiter are no part of the
      field, so `a, "b, c"` has the two fields `a` and `b, c`.
    - `escape_char` (one character, say "\\"): it makes the character after
      it literal, inside quotes and out, and is dropped.
    The delimiter, quote and escape characters must differ; a value that is
    no single ASCII character, or is CR or LF, raises ValueError naming the
    option.

    How the output is written (the quarantine file is always written alike):
    `line_terminator` "\\n" or "\\r\\n"; `write_bom=True` starts it with a
    UTF-8 byte-order mark (for Excel); `output_delimiter` and
    `output_quote_char` write another delimiter or quote than those read
    (say `'` quoting normalised to `"`).

    `source` may also be the input itself: a bytearray, memoryview or any
    other bytes-like object except bytes (bytes name a file, as os.fsencode
    gives them; pass `io.BytesIO(data)`), or a binary file object, read
    whole (a text-mode file raises TypeError).  Input compressed with gzip,
    bzip2, xz or zstd, known by its first bytes and not by its name, is
    decompressed first, then decoded in `encoding`; `result.compression`
    names the format.  Compressed data cut short or corrupt raise
    ValueError, and nothing is written.

    Paths are str, bytes or os.PathLike.  A file that cannot be read or
    written raises the OSError subclass for its error number, with
    `filename` the file that failed; a `quarantine` naming the output file
    raises ValueError, an input larger than memory MemoryError."""
    read_as = _read_options(delimiter, quote_char, expected_columns, repair_quotes,
                            fill_ragged_rows, merge_overflow, encoding, skip_rows, comment,
                            skip_initial_space, escape_char, header)
    written_as = _output_options(read_as[0], quote_char, line_terminator, write_bom,
                                 output_delimiter, output_quote_char)
    values = _csv_mendle.repair(source, output, quarantine, *read_as, *written_as)
    return RepairResult(**values)


class Reader:
    """The repaired rows of one CSV file, read and repaired whole by `read`;
    `result` tells what the repair did.

    Iterating hands out each row once, as a new list of str, straight from
    the native rows object.  Quarantined rows are counted in `result`, not
    handed out.

    The reader is also an Arrow stream (the Arrow PyCapsule interface), so
    `pyarrow.table(reader)` and `polars.DataFrame(reader)` load it without a
    Python object per cell.  The stream takes the rows not yet handed out, in
    record batches of at most 65,536 rows and about 256 MiB of text, as
    nullable utf8 columns (utf8_view when a requested schema asks for
    utf8_view in every column, as `to_polars` does) named `column_1` ..
    `column_N`, N the field count of the widest of all the reader's rows
    (handed out or not, so the schema
    does not depend on how far the reader was iterated) or of the header; a
    row with fewer fields (only possible with `expected_columns=0`, which
    keeps ragged rows, or a given width narrower than the header) has nulls
    in its missing cells.  Taking the stream is the reader's one pass:
    iteration yields nothing afterwards, and a second stream raises
    RuntimeError.

    With `read(..., header=True)` the header is not iterated: `header` holds
    it, and it names the Arrow columns, made unique as pandas does (an empty
    name at column i becomes "Unnamed: i", a repeated "a" becomes "a.1",
    "a.2", ...); columns past the header keep `column_<i>`.  It still counts
    among `result.mendled_rows`, so `len(reader)` is one less.  Without
    `header=True` a header line is a row like any other."""

    __slots__ = ("_rows", "_result", "_header")

    def __init__(self, rows: _csv_mendle.RepairedRows, result: RepairResult,
                 header: list[str] | None = None) -> None:
        """Made by `read`, from the native rows, their result and header."""
        self._rows = rows
        self._result = result
        self._header = header

    @property
    def header(self) -> list[str] | None:
        """The header's fields (a new list each time), or None: without
        `header=True`, or when the table had no row."""
        return None if self._header is None else list(self._header)

    @property
    def result(self) -> RepairResult:
        """What the repair did, with the rows it set aside counted."""
        return self._result

    def __iter__(self) -> Iterator[list[str]]:
        """The native rows object itself, so loops run at its speed."""
        return self._rows

    def __next__(self) -> list[str]:
        """The next row not yet handed out."""
        return next(self._rows)

    def __len__(self) -> int:
        """The number of repaired rows, read or not."""
        return len(self._rows)

    def __arrow_c_stream__(self, requested_schema: object = None) -> CapsuleType:
        """The rows not yet handed out as an Arrow C stream in a PyCapsule:
        utf8 columns, or utf8_view when `requested_schema` asks for
        utf8_view in every column.  Nothing else of it is applied: as the interface
        allows, the stream keeps its own schema."""
        return self._rows.__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> CapsuleType:
        """The stream's Arrow schema in a PyCapsule."""
        return self._rows.__arrow_c_schema__()

    def to_arrow(self) -> pyarrow.Table:
        """The rows not yet handed out as a `pyarrow.Table` of `string`
        columns (needs pyarrow)."""
        pa = _optional_library("pyarrow", "to_arrow")
        return pa.table(self)

    def to_pandas(self, *, dtype_backend: Literal["pyarrow", "numpy"] = "pyarrow") -> pandas.DataFrame:
        """The rows not yet handed out as a `pandas.DataFrame`, missing cells
        null (needs pandas and pyarrow).

        With `dtype_backend="pyarrow"` (the default) each column is
        `pandas.ArrowDtype(pyarrow.string())`: the Arrow column itself, no
        Python object per cell, missing cells `pandas.NA`; the columns are
        what `pandas.read_csv(..., dtype_backend="pyarrow")` makes of text.
        With `"numpy"` they are pandas' default for text, as `read_csv`
        gives it: object columns of str in pandas 2, `str` in pandas 3; in
        pandas 2 that makes a str object per cell, many times the time and
        the memory."""
        pd = _optional_library("pandas", "to_pandas")
        if dtype_backend not in ("pyarrow", "numpy"):
            raise ValueError(f"dtype_backend must be 'pyarrow' or 'numpy', not {dtype_backend!r}")
        pa = _optional_library("pyarrow", "to_pandas")
        table = pa.table(self)
        if dtype_backend == "pyarrow":
            # Chunk by chunk, without a copy: each column keeps the batches'
            # buffers.
            return table.to_pandas(types_mapper=pd.ArrowDtype)
        return table.to_pandas()

    def to_polars(self) -> polars.DataFrame:
        """The rows not yet handed out as a `polars.DataFrame` (needs polars).
        Its strings come as Arrow string views, polars' own layout, which it
        takes as they are: faster than `polars.DataFrame(reader)`, where
        polars makes a view of every utf8 string itself."""
        pl = _optional_library("polars", "to_polars")
        return pl.DataFrame(_ViewStream(self._rows))

    def __enter__(self) -> Self:
        """The reader itself: everything was read when it was made."""
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        """Leaves the rows as they are; an exception raised in the block
        propagates."""
        return False


class _ViewStream:
    """The rows' Arrow stream with utf8_view columns, whatever is asked."""

    __slots__ = ("_rows",)

    def __init__(self, rows: _csv_mendle.RepairedRows) -> None:
        self._rows = rows

    def __arrow_c_stream__(self, requested_schema: object = None) -> CapsuleType:
        return self._rows._arrow_c_view_stream()


def _optional_library(name: str, method: str) -> Any:
    """The module `name`, imported only now: `import csv_mendle` stays cheap
    and needs none of them."""
    try:
        return __import__(name)
    except ImportError as error:
        raise ImportError(f"Reader.{method}() needs {name}: install the {name} package",
                          name=name) from error


def read(
    source: Source,
    *,
    delimiter: str | None = None,
    quote_char: str | None = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    encoding: str = "utf-8",
    skip_rows: int = 0,
    comment: str | None = None,
    skip_initial_space: bool = False,
    escape_char: str | None = None,
    header: bool = False,
) -> Reader:
    """Reads and repairs the CSV file `source` in memory; the Reader iterates
    its repaired rows, and holds the header apart with `header=True`.
    Options, sources (paths, bytes-like objects, binary file objects,
    compressed or not) and errors as for `repair`."""
    read_as = _read_options(delimiter, quote_char, expected_columns, repair_quotes,
                            fill_ragged_rows, merge_overflow, encoding, skip_rows, comment,
                            skip_initial_space, escape_char, header)
    rows, values, names = _csv_mendle.read(source, *read_as)
    return Reader(rows, RepairResult(**values), names)


def sniff_dialect(sample: Buffer, quote_char: str = '"') -> tuple[str, int]:
    """The delimiter and the column count that a repair of data beginning with
    the bytes `sample` (a file's head, say its first 64 KiB) would apply:
    `(delimiter, columns)`, with columns 0 when no row of the sample counts."""
    return _csv_mendle.sniff_dialect(sample, quote_char)
