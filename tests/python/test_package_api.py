"""The package's own API (csv_mendle.repair, read, sniff_dialect): the account
of each kind of change and its first line, the same repair as the backend's,
errors that name the file that failed, and other threads running while a
file is read, repaired and written."""

import csv
import errno
import io
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st
from test_properties import DAMAGED, OPTIONS, PROPERTIES, first_byte_char, table_text


import csv_mendle
from csv_mendle import _csv_mendle
from csv_mendle import _csv_mendle_backend as backend

# ---- the account ----

UNCLOSED = ("a,b\n" * 5000 + 'x,"open\n' + "c,d\n" * 5000).encode()  # 10,001 lines

# (what, input, options, the account: every kind that occurred, and only those)
ACCOUNTS = [
    ("clean input changes nothing", b"a,b\nc,d\n", {}, {}),
    ("stray quotes kept as text", b'h1,h2\n"said "hi" twice",b\n', {},
     {"quotes_repaired": {"rows": 1, "first_line": 2}}),
    ("text after a closing quote", b'h1,h2\nx,y\n"x"y,b\n', {}, {"quotes_repaired": {"rows": 1, "first_line": 3}}),
    ("a short row padded", b"a,b,c\nd,e\nf,g,h\n", {}, {"padded": {"rows": 1, "first_line": 2}}),
    ("a long row merged", b"a,b\nc,d\ne,f,g\n", {}, {"merged": {"rows": 1, "first_line": 3}}),
    ("short and long rows set aside", b"a,b,c\nd\ne,f,g\nh,i,j,k\nl\n",
     {"fill_ragged_rows": False, "merge_overflow": False},
     {"quarantined_short": {"rows": 2, "first_line": 2}, "quarantined_long": {"rows": 1, "first_line": 4}}),
    ("blank lines are padded rows", b"a,b\n\nc,d\n\n", {},
     {"padded": {"rows": 2, "first_line": 2}, "blank_lines": {"rows": 2, "first_line": 2}}),
    ("cp1252 bytes are not UTF-8", b"h1,h2\n" + "Bär,Maß 5 €\n".encode("cp1252"), {},
     {"invalid_utf8": {"rows": 1, "first_line": 2, "sequences": 3}}),
    ("a quote open to the end of 10,001 lines", UNCLOSED, {},
     {"unclosed_quote": {"rows": 1, "first_line": 5001, "absorbed_lines": 5001}}),
    ("a byte-order mark", b"\xef\xbb\xbfa,b\n", {}, {"bom_removed": {"rows": 1, "first_line": 1}}),
]


@pytest.mark.parametrize("content, options, changes", [case[1:] for case in ACCOUNTS],
                         ids=[case[0] for case in ACCOUNTS])
def test_the_account_names_each_kind_and_its_first_line(write_input, tmp_path, content, options, changes):
    path = write_input(content)
    result = csv_mendle.repair(path, tmp_path / "out.csv", quarantine=tmp_path / "q.csv", **options)
    assert result.changes == changes
    reader = csv_mendle.read(path, **options)
    assert reader.result == result
    assert result.to_dict() == {**backend.open(path, **options).summary.to_dict(), "changes": changes,
                                "encoding": "utf-8", "quote_char": options.get("quote_char", '"'),
                                "compression": None}


def test_a_reader_iterates_its_native_rows_once_and_knows_its_result_at_once(write_input):
    path = write_input(b"a;b\nc\n")
    with csv_mendle.read(path) as reader:
        assert len(reader) == 2 and reader.result.repaired_rows == 1
        rows = iter(reader)
        assert type(rows) is _csv_mendle.RepairedRows
        assert next(reader) == ["a", "b"]
        assert list(rows) == [["c", ""]] and list(reader) == []
        assert len(reader) == 2


def test_the_repair_finds_delimiter_and_width_with_its_own_quote(mendle):
    # Quoted with ', the commas inside do not widen rows 2 and 3.
    data = "a,b,c\n1,'x, y',2\n3,'p, q',4\n"
    summary, written = mendle(data, quote_char="'")
    assert (summary.inferred_columns, summary.repaired_rows) == (3, 0)
    assert written == data
    assert csv_mendle.sniff_dialect(data.encode(), quote_char="'") == (",", 3)
    assert csv_mendle.sniff_dialect(data.encode()) == (",", 4)


# ---- the same repair as the backend's ----


def read_records(path):
    with open(path, encoding="utf-8", newline="") as handle:
        return list(csv.reader(handle))[1:]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("package_api")
    return {name: str(root / f"{name}.csv") for name in ("input", "out", "q", "out2", "q2")}


# The backend takes the first byte of any delimiter and quote; the package
# takes single ASCII characters that differ, so its options are drawn from
# those (the others are refused, see below).
def package_takes(options):
    values = [options.get("delimiter"), options.get("quote_char", '"')]
    given = [value for value in values if value is not None]
    return all(len(value) == 1 and value.isascii() for value in given) and len(set(given)) == len(given)


PACKAGE_OPTIONS = OPTIONS.filter(package_takes)


def backend_and_package(files, data, options):
    with open(files["input"], "wb") as handle:
        handle.write(data)
    summary = backend.mendle_file(files["input"], files["out"], files["q"], **options)
    result = csv_mendle.repair(files["input"], files["out2"], quarantine=files["q2"], **options)
    return summary, result


@PROPERTIES
@given(data=DAMAGED, options=PACKAGE_OPTIONS)
def test_repair_and_read_give_exactly_the_backend_repair(files, data, options):
    summary, result = backend_and_package(files, data, options)
    for first, second in [("out", "out2"), ("q", "q2")]:
        assert pathlib.Path(files[first]).read_bytes() == pathlib.Path(files[second]).read_bytes()
    values = result.to_dict()
    assert values.pop("changes") == result.changes
    assert values.pop("encoding") == "utf-8"
    assert values.pop("quote_char") == first_byte_char(options.get("quote_char"), '"')
    assert values.pop("compression") is None
    assert values == summary.to_dict()
    reader = csv_mendle.read(files["input"], **options)
    assert list(reader) == list(backend.open(files["input"], **options))
    assert reader.result == result
    if not options.get("delimiter") and options.get("expected_columns") is None:
        sniffed = csv_mendle.sniff_dialect(data, options.get("quote_char", '"'))
        assert sniffed == (result.detected_delimiter, result.inferred_columns)


def width_verdict(fields, width, options):
    """The width rule: None to keep the row, else the kind it is counted as."""
    if width == 0 or fields == width:
        return None
    if fields < width:
        return "padded" if options.get("fill_ragged_rows", True) else "quarantined_short"
    return "merged" if options.get("merge_overflow", True) else "quarantined_long"


# Tables with a few ragged rows, more often than DAMAGED has them, so that
# every width verdict is drawn many times.
RAGGED = st.one_of(DAMAGED, table_text().map(str.encode))


@PROPERTIES
@given(data=RAGGED, options=PACKAGE_OPTIONS, fill=st.booleans(), merge=st.booleans())
def test_the_width_account_adds_up_and_matches_a_model_of_rows_and_lines(files, data, options, fill, merge):
    options = {**options, "fill_ragged_rows": fill, "merge_overflow": merge}
    _, result = backend_and_package(files, data, options)
    count = {kind: result.changes.get(kind, {"rows": 0})["rows"] for kind in
             ("padded", "merged", "quarantined_short", "quarantined_long")}
    assert count["padded"] + count["merged"] == result.repaired_rows
    assert count["quarantined_short"] + count["quarantined_long"] == result.quarantined_rows

    # The model: each row's width from a reader that checks none, and the
    # line each row starts on from a run that sets every row aside (a
    # record's line is the line after its row, where the next row starts).
    dialect = {"delimiter": options.get("delimiter") or result.detected_delimiter,
               "quote_char": options.get("quote_char", '"'), "repair_quotes": options.get("repair_quotes", True)}
    widths = [len(row) for row in backend.open(files["input"], expected_columns=0, **dialect)]
    backend.mendle_file(files["input"], files["out"], files["q"], expected_columns=2**40,
                        fill_ragged_rows=False, **dialect)
    ends = [int(line) for line, _, _ in read_records(files["q"])]
    assert len(widths) == len(ends) == result.total_rows
    expected: dict[str, dict[str, int]] = {}
    for fields, start in zip(widths, [1, *ends[:-1]]):
        kind = width_verdict(fields, result.inferred_columns, options)
        if kind is not None:
            expected.setdefault(kind, {"rows": 0, "first_line": start})["rows"] += 1
    assert {kind: counts for kind, counts in result.changes.items() if kind in count} == expected


# ---- errors name the file that failed ----


def error_cases(tmp_path, good):
    missing_dir = tmp_path / "none"
    cases = [
        ("missing input", lambda: csv_mendle.repair(tmp_path / "missing.csv", tmp_path / "out.csv"),
         FileNotFoundError, errno.ENOENT, str(tmp_path / "missing.csv")),
        ("output in a missing directory", lambda: csv_mendle.repair(good, str(missing_dir / "out.csv")),
         FileNotFoundError, errno.ENOENT, str(missing_dir / "out.csv")),
        ("quarantine in a missing directory",
         lambda: csv_mendle.repair(good, tmp_path / "out.csv", quarantine=os.fsencode(missing_dir / "q.csv")),
         FileNotFoundError, errno.ENOENT, os.fsencode(missing_dir / "q.csv")),
        ("a directory as input", lambda: csv_mendle.repair(str(tmp_path), tmp_path / "out.csv"),
         IsADirectoryError, errno.EISDIR, str(tmp_path)),
        ("read: missing input", lambda: csv_mendle.read(str(tmp_path / "missing.csv")),
         FileNotFoundError, errno.ENOENT, str(tmp_path / "missing.csv")),
        ("read: a directory", lambda: csv_mendle.read(tmp_path), IsADirectoryError, errno.EISDIR, str(tmp_path)),
    ]
    if os.path.exists("/dev/full"):  # fails when written, not when opened
        cases.append(("output on a full device", lambda: csv_mendle.repair(good, "/dev/full"),
                      OSError, errno.ENOSPC, "/dev/full"))
    return cases


def test_a_file_that_fails_raises_the_errors_class_and_names_the_file(write_input, tmp_path):
    good = write_input(b"a,b\n")
    for what, call, error_class, number, filename in error_cases(tmp_path, good):
        with pytest.raises(OSError) as caught:
            call()
        assert type(caught.value) is error_class, what
        assert (caught.value.errno, caught.value.strerror) == (number, os.strerror(number)), what
        assert caught.value.filename == filename, what


def test_paths_refused_before_any_file_is_touched_raise_value_error(write_input, tmp_path):
    good, output = write_input(b"a,b\n"), tmp_path / "out.csv"
    with pytest.raises(ValueError, match="^quarantine_path names the same file as output_path$"):
        csv_mendle.repair(good, output, quarantine=str(output))
    with pytest.raises(ValueError, match="null"):
        csv_mendle.repair(good, str(output) + "\x00.bak")
    assert not output.exists()
    with pytest.raises(TypeError):
        csv_mendle.read(3)  # type: ignore[arg-type]


def test_an_input_larger_than_memory_raises_memory_error_and_creates_no_output(tmp_path):
    huge, output = tmp_path / "huge.csv", tmp_path / "out.csv"
    with open(huge, "wb") as handle:
        try:
            handle.truncate(2**60)  # sparse: costs no space on tmpfs
        except OSError:
            pytest.skip("no sparse file this large here")
    for call in (lambda: csv_mendle.repair(huge, output), lambda: csv_mendle.read(huge)):
        with pytest.raises(MemoryError, match="^out of memory$"):
            call()
    assert not output.exists()


def test_paths_may_be_str_bytes_or_path_like_and_need_not_be_utf8(tmp_path):
    source = os.fsencode(tmp_path) + b"/caf\xe9.csv"  # Latin-1: no UTF-8 name
    with open(source, "wb") as handle:
        handle.write(b"a;b\nc\n")
    output = tmp_path / "out.csv"
    result = csv_mendle.repair(source, output, quarantine=tmp_path / "q.csv", fill_ragged_rows=False)
    assert (result.mendled_rows, result.quarantined_rows) == (1, 1)
    assert output.read_bytes() == b"a;b\n"
    assert list(csv_mendle.read(pathlib.Path(os.fsdecode(source)))) == [["a", "b"], ["c", ""]]


# ---- other threads run meanwhile ----

# Every file is a pipe that a Python thread of the same process feeds or
# drains: a repair holding the interpreter would wait on a thread that
# waits on it.  Run apart, so that such a deadlock fails by a timeout.
PIPES = textwrap.dedent("""
    import os, sys, threading
    import csv_mendle

    data = (b"a,b,c\\n" * 50000) + (b"short\\n" * 20000)  # far more than a pipe holds
    paths = {name: os.path.join(sys.argv[1], name) for name in ("in", "out", "q", "in2")}
    for path in paths.values():
        os.mkfifo(path)
    drained = {}

    def feed(name):
        with open(paths[name], "wb") as pipe:
            pipe.write(data)

    def drain(name):
        with open(paths[name], "rb") as pipe:
            drained[name] = pipe.read()

    threads = [threading.Thread(target=feed, args=("in",)), threading.Thread(target=drain, args=("out",)),
               threading.Thread(target=drain, args=("q",)), threading.Thread(target=feed, args=("in2",))]
    for thread in threads:
        thread.start()
    result = csv_mendle.repair(paths["in"], paths["out"], quarantine=paths["q"], fill_ragged_rows=False)
    reader = csv_mendle.read(paths["in2"])
    for thread in threads:
        thread.join()
    print(result.quarantined_rows, len(drained["out"]), drained["q"].count(b"\\n"), len(reader))
""")


def test_reading_repairing_and_writing_let_other_threads_run(tmp_path):
    finished = subprocess.run([sys.executable, "-c", PIPES, str(tmp_path)], capture_output=True, text=True,
                              timeout=300)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.split() == ["20000", str(6 * 50000), str(1 + 20000), "70000"]


# Text without blank lines (a blank line has no row of its own in a strict
# reader) or CR, whose rows a strict reader may or may not read.
STRICT_CANDIDATES = st.text(alphabet='ab ,"\n', max_size=60).filter(
    lambda text: "\n\n" not in text and not text.startswith("\n"))


@PROPERTIES
@given(text=STRICT_CANDIDATES)
def test_check_strict_fails_exactly_when_the_values_change(files, text):
    # `check --strict` fails on the kinds that change values; exactly then a
    # strict reader cannot read the input, or reads other rows from it than
    # from the repaired file.  A row of one empty field is written as an empty
    # line, which a strict reader reads as an empty row: the two are one.
    from csv_mendle.cli import value_changes

    def rows(lines):
        return [row if row != [""] else [] for row in csv.reader(lines, strict=True)]

    with open(files["input"], "w", encoding="utf-8", newline="") as handle:
        handle.write(text)
    result = csv_mendle.repair(files["input"], files["out"], quarantine=files["q"], delimiter=",")
    try:
        rows_in = rows(text.splitlines(keepends=True))
    except csv.Error:
        rows_in = None
    with open(files["out"], encoding="utf-8", newline="") as handle:
        rows_out = rows(handle)
    assert bool(value_changes(result)) == (rows_in != rows_out), (result.changes, rows_in, rows_out)


# The files people really have, in the encodings they come in: each is read
# as asked, or as "auto" finds, into the rows a person would expect.
EXPORT = "id{d}name{d}city\n1{d}Müller{d}Köln\n2{d}Straße 5 €{d}Gießen\n"


@pytest.mark.parametrize("codec, delimiter, encoding, used", [
    ("cp1252", ";", "cp1252", "cp1252"),        # Excel's semicolon export
    ("cp1252", ";", "auto", "cp1252"),
    ("utf-16", "\t", "auto", "utf-16-le"),       # Excel's "Unicode text": a mark, then UTF-16LE
    ("utf-16-be", "\t", "UTF-16BE", "utf-16-be"),
    ("utf-32", ",", "utf-32", "utf-32-le"),
    ("utf-8", ",", "auto", "utf-8"),
])
def test_other_encodings_are_read_as_asked(write_input, tmp_path, codec, delimiter, encoding, used):
    text = EXPORT.format(d=delimiter)
    path = write_input(text.encode(codec))
    expected = list(csv.reader(text.splitlines(), delimiter=delimiter))
    result = csv_mendle.repair(path, tmp_path / "out.csv", encoding=encoding)
    assert (result.encoding, result.detected_delimiter) == (used, delimiter)
    with open(tmp_path / "out.csv", encoding="utf-8", newline="") as handle:
        assert list(csv.reader(handle, delimiter=delimiter)) == expected
    with csv_mendle.read(path, encoding=encoding) as reader:
        assert list(reader) == expected
        assert reader.result.encoding == used


def test_an_unknown_encoding_or_a_broken_length_is_refused_before_anything_is_written(write_input, tmp_path):
    output = tmp_path / "out.csv"
    with pytest.raises(LookupError, match="unknown encoding: utf-7"):
        csv_mendle.repair(write_input(b"a,b\n"), output, encoding="utf-7")
    with pytest.raises(ValueError, match="odd number of bytes"):
        csv_mendle.repair(write_input(b"a\0b"), output, encoding="utf-16-le")
    assert not output.exists()


def test_lines_before_the_table_and_comments_are_dropped_and_counted(write_input, tmp_path):
    path = write_input(b"Sales export\nsep=;\n# regions: all\nid;name\n1;Ada\n# end of page 1\n2;Alan\n")
    result = csv_mendle.repair(path, tmp_path / "out.csv", skip_rows=2, comment="#")
    assert (tmp_path / "out.csv").read_text(encoding="utf-8") == "id;name\n1;Ada\n2;Alan\n"
    assert (result.detected_delimiter, result.inferred_columns, result.total_rows) == (";", 2, 3)
    assert result.changes == {"skipped_lines": {"rows": 2, "first_line": 1},
                              "comment_lines": {"rows": 2, "first_line": 3}}
    with csv_mendle.read(path, skip_rows=2, comment="#") as reader:
        assert list(reader) == [["id", "name"], ["1", "Ada"], ["2", "Alan"]]
    for option, value in [("skip_rows", -1), ("comment", "##"), ("comment", "\n")]:
        with pytest.raises(ValueError, match=option):
            csv_mendle.repair(path, tmp_path / "bad.csv", **{option: value})  # type: ignore[arg-type]
    assert not (tmp_path / "bad.csv").exists()


# ---- options the package checks, and the output dialect ----


@pytest.mark.parametrize(
    "options, error, words",
    [
        ({"delimiter": "ab"}, ValueError, "delimiter must be one ASCII character"),
        ({"delimiter": "é"}, ValueError, "delimiter must be one ASCII character"),
        ({"quote_char": "\n"}, ValueError, "quote_char must be one ASCII character other than CR and LF"),
        ({"escape_char": '"'}, ValueError, "quote_char and escape_char must differ"),
        ({"delimiter": "semicolon", "escape_char": ";"}, ValueError, "delimiter and escape_char must differ"),
        ({"delimiter": "'", "quote_char": None}, ValueError, "delimiter and quote_char must differ"),
        ({"delimiter": 9}, TypeError, "delimiter must be a str or None, not int"),
        ({"line_terminator": "\r"}, ValueError, "line_terminator must be"),
        ({"output_delimiter": "|", "output_quote_char": "|"}, ValueError, "output_delimiter and output_quote_char"),
        ({"delimiter": ";", "output_quote_char": ";"}, ValueError, "output_delimiter and output_quote_char"),
        # Sniffed: the core finds the clash, before anything is written.
        ({"output_quote_char": ";"}, ValueError, "the output's delimiter and quote character are the same"),
        ({"encoding": "klingon"}, LookupError, "unknown encoding: klingon"),
    ],
)
def test_refused_options_name_themselves_and_write_nothing(tmp_path, options, error, words):
    source = tmp_path / "in.csv"
    source.write_bytes(b"a;b\n1;2\n")
    with pytest.raises(error, match=words):
        csv_mendle.repair(source, tmp_path / "out.csv", **options)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["in.csv"]


def test_the_output_dialect_is_written_and_reads_back_as_the_rows(tmp_path):
    source = tmp_path / "in.csv"
    # ' quoting and ; delimiters, a field holding the new delimiter and one
    # holding the new quote, a long row merged and a short one set aside.
    source.write_bytes(b"id;text;n\n1;'a, b';2\n2;say \"hi\";3\n3;x;y;z\n4\n")
    result = csv_mendle.repair(
        source, tmp_path / "out.csv", quarantine=tmp_path / "q.csv", quote_char="'", delimiter="semicolon",
        fill_ragged_rows=False, line_terminator="\r\n", write_bom=True, output_delimiter=",",
        output_quote_char='"',
    )
    written = (tmp_path / "out.csv").read_bytes()
    assert written.startswith(b"\xef\xbb\xbf") and written.count(b"\r\n") == written.count(b"\n") == 4
    rows = list(csv.reader(io.StringIO(written[3:].decode(), newline="")))
    assert rows == list(csv_mendle.read(source, quote_char="'", delimiter=";", fill_ragged_rows=False))
    assert rows[1:] == [["1", "a, b", "2"], ["2", 'say "hi"', "3"], ["3", "x", "y;z"]]
    # The quarantine file keeps its one format: the raw fields joined by the delimiter read.
    assert (tmp_path / "q.csv").read_bytes() == b'line,reason,raw_content\n6,"Row has too few columns (expected 3)","4"\n'
    assert result.quarantined_rows == 1
