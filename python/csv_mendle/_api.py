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
    `encoding` names the encoding the input was read in, `compression` the
    format it was decompressed from ("gzip", "bzip2", "xz", "zstd"; None
    for plain input)."""

    __slots__ = _FIELDS

    total_rows: int
    mendled_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    changes: dict[str, dict[str, int]]
    encoding: str
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
        compression: str | None = None,
    ) -> None:
        values = (total_rows, mendled_rows, repaired_rows, quarantined_rows, detected_delimiter,
                  inferred_columns, changes, encoding, compression)
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
            "compression": self.compression,
        }


def _lines(skip_rows: int) -> int:
    """`skip_rows`, checked: a whole number of lines, 0 or more."""
    if isinstance(skip_rows, bool) or not isinstance(skip_rows, int) or skip_rows < 0:
        raise ValueError(f"skip_rows must be a whole number of lines, 0 or more, not {skip_rows!r}")
    return skip_rows


def _comment(comment: str | None) -> str | None:
    """`comment`, checked: one ASCII character that is no line end."""
    if comment is not None and (len(comment) != 1 or not comment.isascii() or comment in "\r\n"):
        raise ValueError(f"comment must be one ASCII character other than CR and LF, not {comment!r}")
    return comment


def repair(
    source: Source,
    output: Path,
    *,
    quarantine: Path | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    encoding: str = "utf-8",
    skip_rows: int = 0,
    comment: str | None = None,
) -> RepairResult:
    """Repairs the CSV file `source` into `output`, a standard CSV file in the
    delimiter applied; rows set aside go to `quarantine` when it is given.

    The options are those of `mendle_file`.  `encoding` names the input's
    encoding: "utf-8" (the default; bytes that are not UTF-8 become U+FFFD
    and are counted), "cp1252", "latin-1", "utf-16", "utf-16-le",
    "utf-16-be", "utf-32" and its orders, or "auto" (a byte-order mark
    decides, else valid UTF-8 stays UTF-8, else cp1252); the output is
    always UTF-8, and `result.encoding` says which was read.  An unknown name
    raises LookupError; UTF-16 or UTF-32 input that is no whole number of its
    code units raises ValueError.  Paths are str, bytes or os.PathLike.  A
    file that cannot be read or written raises the OSError subclass for its
    error number, with `filename` the file that failed; a `quarantine` naming
    the output file raises ValueError, an input larger than memory
    MemoryError.

    `source` may also be the input itself: a bytearray, memoryview or any
    other bytes-like object except bytes (bytes name a file, as os.fsencode
    gives them; pass `io.BytesIO(data)`), or a binary file object, read
    whole (a text-mode file raises TypeError).  Input compressed with gzip,
    bzip2, xz or zstd, known by its first bytes and not by its name, is
    decompressed first, then decoded in `encoding`; `result.compression`
    names the format.  Compressed data cut short or corrupt raise
    ValueError, and nothing is written.

    `skip_rows` drops that many physical lines before the table (a title, an
    export note, Excel's "sep=;" line), and `comment` (one character) drops
    every line that starts with it; both are counted in `changes`
    (`skipped_lines`, `comment_lines`), and the lines after them keep their
    numbers."""
    values = _csv_mendle.repair(
        source, output, quarantine, delimiter, quote_char, fill_ragged_rows, merge_overflow,
        expected_columns, repair_quotes, encoding, _lines(skip_rows), _comment(comment),
    )
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
    nullable utf8 columns named `column_1` .. `column_N`, N the field count of
    the widest of all the reader's rows (handed out or not, so the schema
    does not depend on how far the reader was iterated); a row with fewer
    fields (only possible with `expected_columns=0`, which keeps ragged rows)
    has nulls in its missing cells.  The header is a row like any other.  Taking the stream is the
    reader's one pass: iteration yields nothing afterwards, and a second
    stream raises RuntimeError."""

    __slots__ = ("_rows", "_result")

    def __init__(self, rows: _csv_mendle.RepairedRows, result: RepairResult) -> None:
        """Made by `read`, from the native rows and their result."""
        self._rows = rows
        self._result = result

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
        """The rows not yet handed out as an Arrow C stream in a PyCapsule.
        The columns are text, so `requested_schema` is not applied: as the
        interface allows, the stream keeps its own schema."""
        return self._rows.__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> CapsuleType:
        """The stream's Arrow schema in a PyCapsule."""
        return self._rows.__arrow_c_schema__()

    def to_arrow(self) -> pyarrow.Table:
        """The rows not yet handed out as a `pyarrow.Table` (needs pyarrow)."""
        pa = _optional_library("pyarrow", "to_arrow")
        return pa.table(self)

    def to_pandas(self) -> pandas.DataFrame:
        """The rows not yet handed out as a `pandas.DataFrame` of str, missing
        cells null (needs pandas and pyarrow)."""
        _optional_library("pandas", "to_pandas")
        _optional_library("pyarrow", "to_pandas")
        return self.to_arrow().to_pandas()

    def to_polars(self) -> polars.DataFrame:
        """The rows not yet handed out as a `polars.DataFrame` (needs polars)."""
        pl = _optional_library("polars", "to_polars")
        return pl.DataFrame(self)

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
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    encoding: str = "utf-8",
    skip_rows: int = 0,
    comment: str | None = None,
) -> Reader:
    """Reads and repairs the CSV file `source` in memory; the Reader iterates
    its repaired rows.  Options, sources (paths, bytes-like objects, binary
    file objects, compressed or not) and errors as for `repair`."""
    rows, values = _csv_mendle.read(
        source, delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes,
        encoding, _lines(skip_rows), _comment(comment),
    )
    return Reader(rows, RepairResult(**values))


def sniff_dialect(sample: Buffer, quote_char: str = '"') -> tuple[str, int]:
    """The delimiter and the column count that a repair of data beginning with
    the bytes `sample` (a file's head, say its first 64 KiB) would apply:
    `(delimiter, columns)`, with columns 0 when no row of the sample counts."""
    return _csv_mendle.sniff_dialect(sample, quote_char)
