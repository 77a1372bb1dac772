"""Repairs damaged CSV files: stray or unbalanced quotes, ragged rows, a
byte-order mark, an unknown delimiter or column count.

The command line lives in `csv_mendle.cli` (`python -m csv_mendle`, or the
`csv-mendle` script)."""

from ._csv_mendle_backend import (
    MendleReader,
    MendleSummary,
    mendle_file,
    open,
    sniff,
)
from ._csv_mendle_backend import __version__ as __version__

__all__ = ["mendle_file", "sniff", "open", "MendleSummary", "MendleReader"]
