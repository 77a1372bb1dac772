"""High-performance, fault-tolerant CSV mendle and reconstruction engine.

Rescues corrupted, broken, and malformed CSV files where strict parsers
(Polars, DuckDB, Pandas) abort with ParserError."""

from typing import Literal, Self, SupportsIndex, TypedDict, final

__version__: str
__all__ = ["mendle_file", "sniff", "open", "MendleSummary", "MendleReader"]

# The four delimiters that sniffing chooses between.
_SniffedDelimiter = Literal[",", ";", "\t", "|"]

# What MendleSummary.to_dict returns, in its key order.
class _SummaryDict(TypedDict):
    total_rows: int
    mendled_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int

# Flags also accept numpy's boolean scalar; any other object, 0 and 1
# included, raises TypeError.  Paths are str only (no bytes, no PathLike).
def mendle_file(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> MendleSummary: ...
def sniff(sample: str) -> _SniffedDelimiter: ...
def open(
    file_path: str,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
) -> MendleReader: ...
@final
class MendleSummary:
    """Python-exposed summary of a mendle operation."""

    # Not instantiable from Python: only mendle_file and MendleReader.summary
    # create summaries.  Summaries compare and hash by identity.
    @property
    def total_rows(self) -> int: ...
    @property
    def mendled_rows(self) -> int: ...
    @property
    def repaired_rows(self) -> int: ...
    @property
    def quarantined_rows(self) -> int: ...
    @property
    def detected_delimiter(self) -> str: ...
    @property
    def inferred_columns(self) -> int: ...
    def to_dict(self) -> _SummaryDict: ...
    def __repr__(self) -> str: ...

@final
class MendleReader:
    """In-memory streaming reader iterating over mendled rows."""

    def __new__(
        cls,
        file_path: str,
        delimiter: str | None = None,
        quote_char: str = '"',
        fill_ragged_rows: bool = True,
        merge_overflow: bool = True,
        expected_columns: SupportsIndex | None = None,
        repair_quotes: bool = True,
    ) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> list[str]: ...
    def __len__(self) -> int: ...
    def __enter__(self) -> Self: ...
    # Never suppresses an exception raised inside the with block.
    def __exit__(
        self, _exc_type: object = None, _exc_val: object = None, _exc_tb: object = None
    ) -> Literal[False]: ...
    @property
    def summary(self) -> MendleSummary: ...
