"""Compressed input and input given as data: the same repair as of the plain
file, through repair, read and the command line, and clear failures."""

import bz2
import gzip
import io
import lzma
import subprocess
import sys
from collections.abc import Callable
from compression import zstd

import pytest

import csv_mendle
from csv_mendle import _csv_mendle_backend as backend
from test_cli import DAMAGED, ENVIRONMENT, call

COMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    "gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress, "zstd": zstd.compress,
}
SUFFIXES = {"gzip": ".gz", "bzip2": ".bz2", "xz": ".xz", "zstd": ".zst"}
FORMATS = list(COMPRESSORS)
PLAIN = DAMAGED.encode() * 50
COMMAND = [sys.executable, "-m", "csv_mendle"]


def repaired(source, tmp_path, **options):
    """(result dict less compression, output bytes, quarantine bytes, rows) of `source`."""
    output, quarantine = tmp_path / "out.csv", tmp_path / "q.csv"
    result = dict(csv_mendle.repair(source, output, quarantine=quarantine, **options).to_dict())
    compression = result.pop("compression")
    if hasattr(source, "seek"):
        source.seek(0)  # a file object is read whole, once per call
    reader = csv_mendle.read(source, **options)
    assert reader.result.compression == compression
    return compression, (result, output.read_bytes(), quarantine.read_bytes(), list(reader))


@pytest.fixture
def plain(tmp_path):
    path = tmp_path / "data.csv"
    path.write_bytes(PLAIN)
    return repaired(path, tmp_path)[1]


@pytest.mark.parametrize("format", FORMATS)
def test_a_compressed_file_repairs_as_the_plain_one_through_repair_read_and_the_command_line(
    tmp_path, capsys, plain, format
):
    path = tmp_path / f"data.csv{SUFFIXES[format]}"
    path.write_bytes(COMPRESSORS[format](PLAIN))
    assert repaired(path, tmp_path) == (format, plain)
    # Known by content, not by name; and the data themselves, not the file.
    path.rename(tmp_path / "plain-name.csv")
    assert repaired(tmp_path / "plain-name.csv", tmp_path) == (format, plain)
    assert repaired(bytearray(COMPRESSORS[format](PLAIN)), tmp_path) == (format, plain)
    # Streams one after another read as one, as `gzip -dc` reads them.
    half = len(PLAIN) // 2
    joined = COMPRESSORS[format](PLAIN[:half]) + COMPRESSORS[format](PLAIN[half:])
    assert repaired(io.BytesIO(joined), tmp_path) == (format, plain)

    path = tmp_path / f"DATA.CSV{SUFFIXES[format].upper()}"
    path.write_bytes(COMPRESSORS[format](PLAIN))
    status, stdout, _ = call(capsys, "repair", path)
    assert status == 0 and f"; read {format}-compressed input\n" in stdout
    assert (tmp_path / "DATA.mended.CSV").read_bytes() == plain[1]
    with path.open("rb") as stdin:
        result = subprocess.run([*COMMAND, "repair", "-"], stdin=stdin, env=ENVIRONMENT, capture_output=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, plain[1])
    assert call(capsys, "sniff", path)[1] == "delimiter: semicolon\ncolumns: 3\n"
    # The backend reads bytes as they are.
    summary = backend.mendle_file(str(path), str(tmp_path / "backend.csv"))
    assert (tmp_path / "backend.csv").read_bytes() != plain[1]
    assert summary.total_rows != plain[0]["total_rows"]


def test_a_compressed_file_is_decoded_in_the_encoding_asked_for(tmp_path, capsys):
    path = tmp_path / "export.csv.gz"
    path.write_bytes(gzip.compress("name;price\nBär;5 €\n".encode("cp1252")))
    with csv_mendle.read(path, encoding="cp1252") as reader:
        assert list(reader) == [["name", "price"], ["Bär", "5 €"]]
        assert (reader.result.encoding, reader.result.compression) == ("cp1252", "gzip")
    status, stdout, _ = call(capsys, "repair", path, "--encoding", "cp1252")
    assert status == 0 and "; read gzip-compressed input as cp1252\n" in stdout
    assert (tmp_path / "export.mended.csv").read_text(encoding="utf-8") == "name;price\nBär;5 €\n"


@pytest.mark.parametrize("format", FORMATS)
@pytest.mark.parametrize("damage", ["truncated", "trailing bytes"])
def test_corrupt_compressed_data_raise_value_error_and_write_nothing(tmp_path, capsys, format, damage):
    packed = COMPRESSORS[format](PLAIN)
    data = packed[: len(packed) - 7] if damage == "truncated" else packed + b"\n1;2;3\n"
    path = tmp_path / "data.csv"
    path.write_bytes(data)
    message = f"truncated or corrupt {format} data"
    for source in (path, bytearray(data)):
        with pytest.raises(ValueError, match=message):
            csv_mendle.repair(source, tmp_path / "out.csv", quarantine=tmp_path / "q.csv")
        with pytest.raises(ValueError, match=message):
            csv_mendle.read(source)
    assert call(capsys, "repair", path) == (1, "", f"csv-mendle: cannot repair {path}: {message}\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data.csv"]


def test_the_input_may_be_given_as_data_but_bytes_stay_a_path(tmp_path, plain):
    path = tmp_path / "data.csv"
    with path.open("rb") as binary, path.open(encoding="utf-8") as text:
        for source in (bytearray(PLAIN), memoryview(PLAIN), io.BytesIO(PLAIN), binary):
            assert repaired(source, tmp_path) == (None, plain)
        with pytest.raises(TypeError, match=r"text file.*binary mode"):
            csv_mendle.read(text)
    with pytest.raises(FileNotFoundError) as raised:
        csv_mendle.repair(bytearray(PLAIN), tmp_path / "no" / "out.csv")
    assert raised.value.filename == str(tmp_path / "no" / "out.csv")
    with pytest.raises(FileNotFoundError):
        csv_mendle.read(b"id;name\n1;Ada\n")
    with pytest.raises(TypeError, match="a path .* or a binary file object, not int"):
        csv_mendle.repair(3, tmp_path / "out.csv")  # type: ignore[arg-type]


def test_a_zstd_window_past_128_mib_is_refused_as_out_of_memory_before_it_is_allocated():
    # `zstd --long=31` on a stream declares a 2 GiB window in a few bytes.
    data = subprocess.run(["zstd", "--long=31", "-q", "-c"], input=PLAIN, capture_output=True, check=True).stdout
    with pytest.raises(MemoryError):
        csv_mendle.read(bytearray(data))
