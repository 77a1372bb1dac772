"""Repairs damaged CSV files: stray or unbalanced quotes, ragged rows, a
byte-order mark, an unknown delimiter or column count.

`repair` and `read` are the API to start with: they take str, bytes or
os.PathLike paths (or the data, as a bytearray, memoryview or binary file
object), decompress gzip, bzip2, xz and zstd input, let other threads run
while they work, and return a `RepairResult` that also tells what was
changed, kind by kind.  The backend's
`mendle_file`, `sniff`, `open`, `MendleSummary` and `MendleReader` stay as
they are.

The command line lives in `csv_mendle.cli` (`python -m csv_mendle`, or the
`csv-mendle` script)."""

from ._api import Reader, RepairResult, read, repair, sniff_dialect
from ._csv_mendle_backend import (
    MendleReader,
    MendleSummary,
    mendle_file,
    open,
    sniff,
)
from ._csv_mendle_backend import __version__ as __version__

__all__ = [
    "repair",
    "read",
    "sniff_dialect",
    "Reader",
    "RepairResult",
    "mendle_file",
    "sniff",
    "open",
    "MendleSummary",
    "MendleReader",
]
