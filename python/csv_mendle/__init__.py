"""Repairs damaged CSV files: stray or unbalanced quotes, ragged rows, a
byte-order mark, an unknown delimiter or column count."""

from ._csv_mendle_backend import (
    MendleReader,
    MendleSummary,
    __version__,
    mendle_file,
    open,
    sniff,
)

__all__ = ["mendle_file", "sniff", "open", "MendleSummary", "MendleReader"]
