"""MendleReader and open: construction, iteration, the context manager, the
summary, file errors, and the shape of the type."""

import errno
import gc
import os
import weakref

import pytest

from csv_mendle import _csv_mendle_backend as backend

TWO_ROWS = "a;b\nc;d\n"


@pytest.fixture(params=["open", "MendleReader"])
def make_reader(request):
    """Both ways of creating a reader; every behaviour must hold for each."""
    return getattr(backend, request.param)


# ---- iteration ----


def test_rows_come_in_order_and_the_reader_is_exhausted_once(write_input, make_reader):
    reader = make_reader(write_input(TWO_ROWS))
    assert len(reader) == 2
    assert list(reader) == [["a", "b"], ["c", "d"]]
    assert len(reader) == 2
    assert list(reader) == []  # one cursor per reader: a second loop gets nothing
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    assert bool(reader)  # truth follows the length, not the cursor


def test_two_loops_share_the_rows_and_iter_does_not_restart(write_input):
    reader = backend.open(write_input("1\n2\n3\n4\n"))
    first = []
    for row in reader:
        first.append(row)
        if len(first) == 2:
            break
    assert iter(reader) is reader
    assert list(reader) == [["3"], ["4"]]
    assert first == [["1"], ["2"]]


def test_returned_lists_are_new_and_independent_of_the_stored_rows(write_input):
    path = write_input("x,y\nx,y\n")
    reader = backend.open(path)
    first = next(reader)
    first.append("extra")
    first[0] = "changed"
    assert next(reader) == ["x", "y"]
    assert next(backend.open(path)) == ["x", "y"]


@pytest.mark.parametrize(
    "content, rows",
    [
        # The whole row ASCII, long fields crossing the 8-byte blocks.
        ("abcdefghijklmnopqrstuvwxyz0123456789,b\n", [["abcdefghijklmnopqrstuvwxyz0123456789", "b"]]),
        # One non-ASCII field in an otherwise ASCII row, at the head or in the tail of a block.
        ("é,plain\n", [["é", "plain"]]),
        ("plain,abcdefghé\n", [["plain", "abcdefghé"]]),
        ("abcdefgh" * 3 + "€,xxxxxxxx\n", [["abcdefgh" * 3 + "€", "xxxxxxxx"]]),
        ("abcdefgh" * 4 + "€,x\n", [["abcdefgh" * 4 + "€", "x"]]),
        ("😀 emoji,日本語\n", [["😀 emoji", "日本語"]]),
        # Bytes that are no UTF-8 become U+FFFD; NUL stays a character.
        (b"a\xffb,c\x00d\n", [["a\ufffdb", "c\x00d"]]),
        # Empty fields, and quoted fields holding the delimiter and a line break.
        ('"x,y",,"line\nbreak"\n', [["x,y", "", "line\nbreak"]]),
    ],
)
def test_field_text_is_decoded_exactly(write_input, content, rows):
    assert list(backend.open(write_input(content), delimiter=",")) == rows


# Rows whose bytes are their fields (kept in the file's bytes) and rows that
# are repaired or parsed (kept apart) come out alike and in file order.
MIXED = (
    'id,name,note\n'
    '1,plain,"quoted, with the delimiter"\n'
    '2,short\n'                              # padded
    '3,"say "hi" there",x\n'                 # stray quotes
    '4,too,many,fields\n'                    # merged
    '5,"line\nbreak",y\n'                    # a quoted line break
    '6,caf\u00e9,"\u20ac, \U0001f600"\n'     # non-ASCII, plain
    '7,crlf,row\r\n'
    '8,"quoted","no delimiter"\n'            # quoted without need
    ',,\n'
    '9,last,"row, unterminated"'
)
MIXED_ROWS = [
    ["id", "name", "note"],
    ["1", "plain", "quoted, with the delimiter"],
    ["2", "short", ""],
    ["3", 'say "hi" there', "x"],
    ["4", "too", "many,fields"],
    ["5", "line\nbreak", "y"],
    ["6", "caf\u00e9", "\u20ac, \U0001f600"],
    ["7", "crlf", "row"],
    ["8", "quoted", "no delimiter"],
    ["", "", ""],
    ["9", "last", "row, unterminated"],
]


def test_plain_and_repaired_rows_mix_in_file_order(write_input, make_reader):
    reader = make_reader(write_input(MIXED))
    assert len(reader) == len(MIXED_ROWS)
    assert list(reader) == MIXED_ROWS
    assert reader.summary.to_dict() == {
        "total_rows": 11,
        "mendled_rows": 11,
        "repaired_rows": 2,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 3,
    }


def test_quarantine_between_plain_rows_keeps_their_order(write_input):
    reader = backend.open(write_input(MIXED), fill_ragged_rows=False, merge_overflow=False)
    assert list(reader) == [row for row in MIXED_ROWS if row[0] not in ("2", "4")]
    assert reader.summary.quarantined_rows == 2


@pytest.mark.parametrize(
    "content, delimiter, rows",
    [
        # Without a width check every row keeps its own width.
        ("a,b\nc\n\"d,e\",f,g\n", ",", [["a", "b"], ["c"], ["d,e", "f", "g"]]),
        ("a\tb\n\"c\td\"\t\n", "\t", [["a", "b"], ["c\td", ""]]),
        ("a;b\n;\"c;d\"\n\n", ";", [["a", "b"], ["", "c;d"], [""]]),
    ],
)
def test_rows_of_any_width_when_the_width_is_not_checked(write_input, content, delimiter, rows):
    reader = backend.open(write_input(content), delimiter=delimiter, expected_columns=0)
    assert list(reader) == rows


@pytest.mark.parametrize(
    "content, rows",
    [
        ("a,b\nc,d", [["a", "b"], ["c", "d"]]),
        ('a,b\n"c,d",e', [["a", "b"], ["c,d", "e"]]),
        ("a,b\nc,", [["a", "b"], ["c", ""]]),
        ("a,b\nc", [["a", "b"], ["c", ""]]),
    ],
)
def test_a_last_row_without_a_line_break(write_input, content, rows):
    assert list(backend.open(write_input(content))) == rows


def test_a_byte_order_mark_is_not_part_of_the_first_field(write_input):
    reader = backend.open(write_input(b"\xef\xbb\xbfa,b\n\"c,d\",e\n"))
    assert list(reader) == [["a", "b"], ["c,d", "e"]]


@pytest.mark.parametrize("ending", ["\r\n", "\r"])
def test_files_with_other_line_breaks(write_input, ending):
    lines = ["h1,h2", '"a,b",c', "", "d", "e,f,g", ""]
    reader = backend.open(write_input(ending.join(lines)))
    assert list(reader) == [["h1", "h2"], ["a,b", "c"], ["", ""], ["d", ""], ["e", "f,g"]]


def test_every_row_has_the_inferred_width(write_input):
    reader = backend.open(write_input("a,b,c\nd,e\nf,g,h,i\nj,k,l\n"))
    columns = reader.summary.inferred_columns
    assert columns == 3
    rows = list(reader)
    assert rows == [["a", "b", "c"], ["d", "e", ""], ["f", "g", "h,i"], ["j", "k", "l"]]
    assert all(len(row) == columns for row in rows)


def test_quarantined_rows_are_missing_but_counted(write_input, make_reader):
    reader = make_reader(write_input("a,b,c\nd,e\nf,g,h\n"), fill_ragged_rows=False)
    assert list(reader) == [["a", "b", "c"], ["f", "g", "h"]]
    assert len(reader) == 2
    summary = reader.summary
    assert (summary.total_rows, summary.mendled_rows, summary.quarantined_rows) == (3, 2, 1)


def test_empty_file(write_input, make_reader):
    reader = make_reader(write_input(b""), delimiter=";", expected_columns=4)
    assert len(reader) == 0
    assert not reader
    assert list(reader) == []
    assert reader.summary.to_dict() == {
        "total_rows": 0,
        "mendled_rows": 0,
        "repaired_rows": 0,
        "quarantined_rows": 0,
        "detected_delimiter": ",",
        "inferred_columns": 0,
    }


def test_open_and_the_class_give_equal_results(write_input):
    path = write_input('h1|h2|h3\n1|"two"|3\n4|5\n6|7|8|9\n')
    options = {"quote_char": '"', "merge_overflow": False, "repair_quotes": True}
    by_open = backend.open(path, **options)
    by_class = backend.MendleReader(path, **options)
    assert type(by_open) is type(by_class) is backend.MendleReader
    assert by_open.summary.to_dict() == by_class.summary.to_dict()
    assert list(by_open) == list(by_class)


# ---- context manager ----


def test_with_binds_the_reader_and_lets_exceptions_through(write_input):
    reader = backend.open(write_input("1\n2\n3\n"))
    with pytest.raises(KeyError):
        with reader as bound:
            assert bound is reader
            assert next(bound) == ["1"]
            raise KeyError("inside")
    # Nothing was closed or reset: iteration goes on where it was.
    assert len(reader) == 3
    assert list(reader) == [["2"], ["3"]]
    with reader:
        pass
    assert reader.summary.mendled_rows == 3


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1,), {}), ((ValueError, ValueError("x"), None), {}), ((), {"_exc_tb": object()})],
)
def test_exit_ignores_up_to_three_arguments_and_returns_false(write_input, args, kwargs):
    assert backend.open(write_input(TWO_ROWS)).__exit__(*args, **kwargs) is False


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3, 4), {}, "__exit__() takes at most 3 arguments (4 given)"),
        ((), {"exc_type": None}, "__exit__() got an unexpected keyword argument 'exc_type'. Did you mean '_exc_type'?"),
    ],
)
def test_exit_refuses_other_calls(write_input, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        backend.open(write_input(TWO_ROWS)).__exit__(*args, **kwargs)
    assert str(caught.value) == message


# ---- summary ----


def test_summary_is_a_new_object_each_time(write_input):
    reader = backend.open(write_input("a;b\nc\n"))
    first, second = reader.summary, reader.summary
    assert first is not second
    assert type(first) is backend.MendleSummary
    assert first.to_dict() == second.to_dict()
    assert repr(first) == (
        "<MendleSummary total_rows=2 mendled_rows=2 repaired_rows=1 quarantined_rows=0 "
        "delimiter=';' inferred_columns=2>"
    )
    with pytest.raises(AttributeError):
        reader.summary = first


def test_summary_matches_mendle_file(write_input, tmp_path):
    path = write_input('a\xc3b\nc\xc3d\xc3e\n'.encode("latin-1"))
    summary = backend.open(path, delimiter="é").summary
    expected = backend.mendle_file(path, str(tmp_path / "out.csv"), delimiter="é")
    assert summary.to_dict() == expected.to_dict()
    assert summary.detected_delimiter == "\u00c3"


# ---- errors ----


def test_missing_file_raises_file_not_found_error(tmp_path, make_reader):
    # A directory, a failing read and a file it may not read: test_faults.py.
    missing = str(tmp_path / "missing.csv")
    with pytest.raises(FileNotFoundError) as caught:
        make_reader(missing)
    assert caught.value.args == (f"{os.strerror(errno.ENOENT)} (os error 2)",)
    assert (caught.value.errno, caught.value.strerror, caught.value.filename) == (None, None, None)


def test_nul_in_the_path_raises_plain_oserror(write_input, make_reader):
    path = write_input(TWO_ROWS)
    with pytest.raises(OSError) as caught:
        make_reader(path + "\x00.csv")
    assert type(caught.value) is OSError
    assert caught.value.args == ("file name contained an unexpected NUL byte",)
    assert caught.value.errno is None


@pytest.mark.parametrize(
    "name, arguments, error, note",
    [
        ("open", {"quote_char": None}, TypeError, "while processing 'quote_char'"),
        ("MendleReader", {"expected_columns": -1}, OverflowError, "while processing 'expected_columns'"),
        ("open", {"fill_ragged_rows": 1}, TypeError, "while processing 'fill_ragged_rows'"),
    ],
)
def test_argument_errors_come_before_the_file_is_read(tmp_path, name, arguments, error, note):
    # The path is missing: a conversion error proves the file was not touched.
    with pytest.raises(error) as caught:
        getattr(backend, name)(str(tmp_path / "missing.csv"), **arguments)
    assert type(caught.value) is error
    assert caught.value.__notes__ == [note]


@pytest.mark.parametrize("name", ["open", "MendleReader"])
def test_call_shape_errors_name_the_callable(name):
    with pytest.raises(TypeError) as caught:
        getattr(backend, name)()
    assert str(caught.value) == f"{name}() missing required argument 'file_path' (pos 1)"
    with pytest.raises(TypeError) as caught:
        getattr(backend, name)("a", None, '"', True, True, None, True, 8)
    assert str(caught.value) == f"{name}() takes at most 7 arguments (8 given)"


# ---- the type and the module ----


def test_type_shape(write_input):
    # Its module, name and refusal of subclasses: test_module.py.
    cls = backend.MendleReader
    assert not cls.__flags__ & (1 << 14)  # no cyclic garbage collection
    assert cls.__enter__.__text_signature__ == "($self)"
    assert cls.__exit__.__text_signature__ == "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"
    reader = backend.open(write_input(TWO_ROWS))
    assert not hasattr(reader, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(reader)
    with pytest.raises(TypeError):
        reader[0]
    assert repr(reader).startswith("<builtins.MendleReader object at 0x")


# ---- memory ----


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer keeps freed memory in quarantine")
def test_a_reader_of_plain_rows_holds_no_second_copy_of_the_file(tmp_path):
    # Plain rows are read from the file's bytes, which the reader keeps: it
    # holds about the file plus a few bytes per row, far from the two copies
    # that the rows' own text beside the file would make.
    path = tmp_path / "plain.csv"
    with open(path, "w", newline="") as f:
        for block in range(40):
            f.write("".join(f'{block},row{i},"text, {i}",{"x" * (i % 30)}\n' for i in range(10000)))
    size = path.stat().st_size
    gc.collect()
    before = resident_bytes()
    reader = backend.open(str(path))
    grown = resident_bytes() - before
    assert len(reader) == 400000
    assert grown < 1.45 * size, f"a reader of a {size}-byte file holds {grown} bytes"
