"""Faults: failing file systems, hostile paths, and inputs built to exhaust
time or memory.  Each is repaired, or raises OSError with the system's error
text (MemoryError where memory cannot suffice), and the interpreter goes on."""

import errno
import os
import random
import time

import pytest

from csv_mendle import _csv_mendle_backend as backend

# Under AddressSanitizer (`./dev sanitize`) the code runs several times
# slower: the large inputs shrink so that the suite stays quick, and the time
# limits, which are orders of magnitude below what quadratic work would take,
# stay as they are.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
SHRINK = 8 if SANITIZED else 1
MB = (1 << 20) // SHRINK


def os_error_text(number):
    return f"{os.strerror(number)} (os error {number})"


def raises_exactly(error_class, call, *args, **kwargs):
    with pytest.raises(error_class) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is error_class
    assert caught.value.errno is None and len(caught.value.args) == 1
    return str(caught.value)


def still_usable(tmp_path):
    """A normal repair after the fault gives the normal result."""
    path = tmp_path / "after.csv"
    path.write_bytes(b"a;b\nc;d\n")
    assert list(backend.open(str(path))) == [["a", "b"], ["c", "d"]]
    assert backend.mendle_file(str(path), str(tmp_path / "after.out.csv")).mendled_rows == 2


# ---- files that cannot be read or written ----


def unreadable_inputs(tmp_path):
    """(description, path, error number, reader's exception class) for every
    way of failing to read an input that this process can arrange."""
    cases: list[tuple[str, str, int, type[OSError]]] = [
        ("a directory: the open succeeds, the read fails", str(tmp_path), errno.EISDIR, IsADirectoryError)
    ]
    if os.path.exists("/proc/self/mem"):
        # Opens read-only, but the first read, at address 0, fails.
        cases.append(("a file whose read fails", "/proc/self/mem", errno.EIO, OSError))
    if os.geteuid() != 0:
        locked = tmp_path / "locked.csv"
        locked.write_bytes(b"a,b\n")
        locked.chmod(0)
        cases.append(("a file without read permission", str(locked), errno.EACCES, PermissionError))
    return cases


@pytest.mark.unprivileged
def test_an_input_that_cannot_be_read_creates_no_output(tmp_path):
    output = tmp_path / "out.csv"
    quarantine = tmp_path / "q.csv"
    for description, path, number, reader_error in unreadable_inputs(tmp_path):
        text = raises_exactly(OSError, backend.mendle_file, path, str(output), str(quarantine))
        assert text == os_error_text(number), description
        assert not output.exists() and not quarantine.exists(), description
        for make_reader in (backend.open, backend.MendleReader):
            assert raises_exactly(reader_error, make_reader, path) == os_error_text(number), description
    still_usable(tmp_path)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize(
    "content",
    [b"a,b\n", b"a,b\n" * 5000, b"x" * 20000 + b"\n"],
    ids=["flush at the end", "buffer written out between rows", "line longer than the buffer"],
)
def test_output_on_a_full_device_raises_enospc(write_input, tmp_path, content):
    quarantine = tmp_path / "q.csv"
    text = raises_exactly(OSError, backend.mendle_file, write_input(content), "/dev/full", str(quarantine))
    assert text == os_error_text(errno.ENOSPC)
    assert not quarantine.exists()  # the quarantine file comes after the output


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_quarantine_on_a_full_device_raises_enospc_after_a_complete_output(write_input, tmp_path):
    output = tmp_path / "out.csv"
    path = write_input(b"a,b\nc\n" * 3000)
    text = raises_exactly(OSError, backend.mendle_file, path, str(output), "/dev/full", fill_ragged_rows=False)
    assert text == os_error_text(errno.ENOSPC)
    assert output.read_bytes() == b"a,b\n" * 3000


def test_a_quarantine_directory_that_vanishes_between_runs(write_input, tmp_path):
    path, output = write_input(b"h1,h2\na\nb,c\n"), tmp_path / "out.csv"
    folder = tmp_path / "quarantine"
    folder.mkdir()
    quarantine = folder / "q.csv"
    first = backend.mendle_file(path, str(output), str(quarantine), fill_ragged_rows=False)
    assert first.quarantined_rows == 1
    written = output.read_bytes()

    quarantine.unlink()
    folder.rmdir()
    output.unlink()
    text = raises_exactly(OSError, backend.mendle_file, path, str(output), str(quarantine), fill_ragged_rows=False)
    assert text == os_error_text(errno.ENOENT)
    assert output.read_bytes() == written  # complete before the quarantine file was attempted
    assert not folder.exists()

    folder.mkdir()
    assert backend.mendle_file(path, str(output), str(quarantine), fill_ragged_rows=False).to_dict() == first.to_dict()
    assert quarantine.read_bytes() == b'line,reason,raw_content\n3,"Row has too few columns (expected 2)","a"\n'


@pytest.mark.parametrize("position", ["input_path", "output_path", "quarantine_path"])
def test_a_nul_in_a_path_never_reaches_the_file_it_would_be_cut_to(write_input, tmp_path, position):
    # Cut at the NUL, the path would name an existing file: read in place of
    # the input, or truncated as an output.  (The reader: test_reader.py.)
    victim = tmp_path / "victim.csv"
    victim.write_bytes(b"precious\n")
    arguments = {"input_path": write_input(b"a,b\n"), "output_path": str(tmp_path / "out.csv"),
                 "quarantine_path": str(tmp_path / "q.csv")}
    arguments[position] = str(victim) + "\x00.csv"
    assert raises_exactly(OSError, backend.mendle_file, **arguments) == "file name contained an unexpected NUL byte"
    assert victim.read_bytes() == b"precious\n"


# ---- inputs that would exhaust time or memory ----


def timed(call, *args, **kwargs):
    started = time.perf_counter()
    result = call(*args, **kwargs)
    return result, time.perf_counter() - started


def test_a_huge_single_field_without_a_line_break(write_input, tmp_path):
    size = 48 * MB
    path, output = write_input(b"x" * size), tmp_path / "out.csv"
    summary, seconds = timed(backend.mendle_file, path, str(output))
    assert (summary.total_rows, summary.mendled_rows, summary.inferred_columns) == (1, 1, 1)
    assert output.stat().st_size == size + 1
    (row,) = backend.open(path)
    assert len(row) == 1 and len(row[0]) == size and row[0].count("x") == size
    assert seconds < 10

    # An unclosed quote takes in every delimiter and line break to the end.
    path = write_input(b'"' + b"a,b\r\n" * (size // 5), "quoted.csv")
    summary = backend.mendle_file(path, str(output))
    assert (summary.total_rows, summary.inferred_columns) == (1, 1)
    assert output.read_bytes() == b'"' + b"a,b\r\n" * (size // 5) + b'"\n'


@pytest.mark.parametrize("size", [2**63 - 1, 2**60])  # beyond any address space; beyond this machine
def test_a_file_larger_than_memory_fails_before_it_is_read(tmp_path, size):
    path, output = tmp_path / "huge.csv", tmp_path / "out.csv"
    with open(path, "wb") as huge:
        try:
            huge.truncate(size)  # sparse: costs no space on tmpfs
        except OSError:
            pytest.skip("no sparse file this large here")
    # mendle_file reports it as the file's failure, the reader as MemoryError.
    for call, error in [(lambda: backend.mendle_file(str(path), str(output)), OSError),
                        (lambda: backend.open(str(path)), MemoryError)]:
        with pytest.raises(error) as caught:
            call()
        assert type(caught.value) is error
        assert caught.value.args == ("out of memory",)
    assert not output.exists()
    still_usable(tmp_path)


def test_random_bytes_are_repaired_into_valid_utf8(write_input, tmp_path):
    generator = random.Random(20240607)
    output, quarantine = tmp_path / "out.csv", tmp_path / "q.csv"
    for size in (1, 3, 100, 4096, MB):
        data = generator.randbytes(size)
        path = write_input(data)
        summary = backend.mendle_file(path, str(output), str(quarantine), fill_ragged_rows=size % 2 == 0)
        assert summary.total_rows == summary.mendled_rows + summary.quarantined_rows
        output.read_bytes().decode("utf-8")
        quarantine.read_bytes().decode("utf-8")
        rows = list(backend.open(path, fill_ragged_rows=size % 2 == 0))
        assert len(rows) == summary.mendled_rows


def test_a_million_blank_lines(write_input, tmp_path):
    output = tmp_path / "out.csv"
    lines = 10**6 // SHRINK
    path = write_input(b"\n" * lines)
    summary, seconds = timed(backend.mendle_file, path, str(output))
    # No row is counted by the heuristics, so no width is expected.
    assert summary.to_dict() == {"total_rows": lines, "mendled_rows": lines, "repaired_rows": 0,
                                 "quarantined_rows": 0, "detected_delimiter": ",", "inferred_columns": 0}
    assert output.read_bytes() == b"\n" * lines
    assert len(backend.open(path)) == lines
    # The heuristics read past all of them to the first counted rows.
    path = write_input(b" \r\n" * lines + b"a;b\nc;d\n", "then_rows.csv")
    summary = backend.mendle_file(path, str(output))
    assert (summary.detected_delimiter, summary.inferred_columns, summary.repaired_rows) == (";", 2, lines)
    assert output.read_bytes() == b" ;\n" * lines + b"a;b\nc;d\n"
    assert seconds < 10


@pytest.mark.parametrize(
    "pattern",
    [b'x"', b'x" ', b'" "x', b'"\t'],
    ids=["quote after every byte", "quote and blank", "blank between quotes", "quote and tab"],
)
def test_a_line_of_stray_quotes_parses_in_linear_time(write_input, tmp_path, pattern):
    # Quadratic work would take hours; linear work takes a second or two.
    output = tmp_path / "out.csv"
    line = b'"' + pattern * (50 * MB // len(pattern))
    path = write_input(line)
    summary, seconds = timed(backend.mendle_file, path, str(output), delimiter=",", expected_columns=1)
    assert (summary.total_rows, summary.mendled_rows) == (1, 1)
    assert seconds < 15, f"{seconds:.1f}s for one line of {len(line)} bytes"
    # The heuristics parse the same line, four times over, and must not be
    # slower per byte.
    path = write_input(line[: 4 * MB], "head.csv")
    summary, seconds = timed(backend.mendle_file, path, str(output))
    assert summary.total_rows == 1
    assert seconds < 15


def test_deeply_ragged_rows(write_input, tmp_path):
    wide = ",".join(f"f{i}" for i in range(100_000))
    path = write_input(f"a\n{wide}\nb\n{wide}\nc\n")
    reader = backend.open(path)
    # One field is the most frequent width: the wide rows are merged back
    # into the one text they were split from.
    assert list(reader) == [["a"], [wide], ["b"], [wide], ["c"]]
    assert (reader.summary.inferred_columns, reader.summary.repaired_rows) == (1, 2)
    padded = list(backend.open(path, expected_columns=100_000))
    assert [len(row) for row in padded] == [100_000] * 5
    assert padded[0][:2] == ["a", ""] and padded[1] == wide.split(",")
    output, quarantine = tmp_path / "out.csv", tmp_path / "q.csv"
    summary = backend.mendle_file(path, str(output), str(quarantine), expected_columns=100_000,
                                  fill_ragged_rows=False)
    assert (summary.mendled_rows, summary.quarantined_rows) == (2, 3)
    assert output.read_text() == f"{wide}\n{wide}\n"
    assert quarantine.read_text().splitlines()[1:] == [
        f'{line},"Row has too few columns (expected 100000)","{text}"' for line, text in [(2, "a"), (4, "b"), (6, "c")]
    ]


@pytest.mark.parametrize("columns", [10**12, 2**63, 2**64 - 1])
def test_an_absurd_column_count_raises_memory_error_and_the_interpreter_goes_on(write_input, tmp_path, columns):
    # Padding a row to that width cannot be held in any memory: the request
    # fails as MemoryError before it is made, instead of being granted by
    # overcommit (and the process killed) or aborting.
    path, output = write_input(b"a,b\nc\n"), tmp_path / "out.csv"
    with pytest.raises(MemoryError):
        backend.mendle_file(path, str(output), expected_columns=columns)
    with pytest.raises(MemoryError):
        backend.open(path, expected_columns=columns)
    # Without padding the same width only quarantines.
    summary = backend.mendle_file(path, str(output), expected_columns=columns, fill_ragged_rows=False)
    assert (summary.quarantined_rows, summary.inferred_columns) == (2, columns)
    still_usable(tmp_path)
