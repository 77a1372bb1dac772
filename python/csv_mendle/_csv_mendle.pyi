"""The native functions of the csv_mendle package: repair, read, sniff_dialect."""

from collections.abc import Buffer
from os import PathLike
from types import CapsuleType
from typing import Protocol, Self, SupportsIndex, TypedDict, final

__all__ = ["repair", "read", "sniff_dialect", "RepairedRows"]

# str or bytes, or an object whose __fspath__ gives one.
_Path = str | bytes | PathLike[str] | PathLike[bytes]

# A binary file object: read() gives the whole rest of it.
class _BinaryReader(Protocol):
    def read(self, /) -> Buffer: ...

# A path, or the input itself: a bytes-like object other than bytes (bytes
# are a path), or a binary file object.
_Source = _Path | Buffer | _BinaryReader

# What repair and read return, in its key order: the summary's six values,
# the account, with only the kinds of change that occurred, the encoding the
# input was read in, the quote applied, and the format it was decompressed
# from (None: plain).
class _ResultDict(TypedDict):
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

# Flags also accept numpy's boolean scalar; any other object, 0 and 1
# included, raises TypeError.
def repair(
    source: _Source,
    output: _Path,
    quarantine: _Path | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    encoding: str = "utf-8",
    skip_rows: SupportsIndex | None = None,
    comment: str | None = None,
    skip_initial_space: bool = False,
    escape_char: str | None = None,
    header: bool = False,
    sniff_quote: bool = False,
    line_terminator: str = "\n",
    write_bom: bool = False,
    output_delimiter: str | None = None,
    output_quote_char: str | None = None,
) -> _ResultDict: ...
def read(
    source: _Source,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: SupportsIndex | None = None,
    repair_quotes: bool = True,
    encoding: str = "utf-8",
    skip_rows: SupportsIndex | None = None,
    comment: str | None = None,
    skip_initial_space: bool = False,
    escape_char: str | None = None,
    header: bool = False,
    sniff_quote: bool = False,
) -> tuple[RepairedRows, _ResultDict, list[str] | None]: ...
def sniff_dialect(sample: Buffer, quote_char: str = '"') -> tuple[str, int]: ...
@final
class RepairedRows:
    """The repaired rows of one file, each a new list of str; they iterate once."""

    # Not instantiable from Python: only read creates them.
    def __iter__(self) -> Self: ...
    def __next__(self) -> list[str]: ...
    def __len__(self) -> int: ...
    def __arrow_c_stream__(self, requested_schema: object = None) -> CapsuleType: ...
    def __arrow_c_schema__(self) -> CapsuleType: ...
    def _arrow_c_view_stream(self) -> CapsuleType: ...
