"""mendle_file and its MendleSummary: the result type, the files written,
and the OSError of every file-system failure."""

import os
import pathlib

import pytest

from csv_mendle import _csv_mendle_backend as backend

MendleSummary = backend.MendleSummary
FIELDS = ["total_rows", "mendled_rows", "repaired_rows", "quarantined_rows", "detected_delimiter", "inferred_columns"]


@pytest.fixture
def summary(mendle):
    return mendle("a;b\nc;d\n")[0]


def test_repr(summary):
    assert repr(summary) == (
        "<MendleSummary total_rows=2 mendled_rows=2 repaired_rows=0 quarantined_rows=0 "
        "delimiter=';' inferred_columns=2>"
    )
    assert str(summary) == repr(summary)


def test_repr_shows_the_delimiter_unescaped(mendle):
    assert "delimiter='\t' " in repr(mendle("a\tb\nc\td\n")[0])
    assert "delimiter='\u00c3' " in repr(mendle(b"a\xc3b\n", delimiter="\u00e9")[0])


def test_to_dict_keeps_field_order(summary):
    first, second = summary.to_dict(), summary.to_dict()
    assert list(first) == FIELDS
    assert first == {name: getattr(summary, name) for name in FIELDS}
    assert first == second and first is not second


def test_summaries_compare_by_identity(mendle):
    one, other = mendle("a;b\n")[0], mendle("a;b\n")[0]
    assert one.to_dict() == other.to_dict()
    assert one != other
    assert one == one
    assert hash(one) != hash(other)


def test_summary_cannot_be_instantiated():
    with pytest.raises(TypeError, match="cannot create"):
        MendleSummary()


@pytest.mark.parametrize("name", FIELDS + ["unknown"])
def test_summary_attributes_are_read_only(summary, name):
    with pytest.raises(AttributeError):
        setattr(summary, name, 1)
    with pytest.raises(AttributeError):
        delattr(summary, name)


def test_summary_type_shape(summary):
    assert MendleSummary.__text_signature__ is None
    assert MendleSummary.to_dict.__text_signature__ == "($self)"
    assert MendleSummary.to_dict.__doc__ == "Converts the summary into a native Python dictionary."
    assert not hasattr(summary, "__dict__")
    assert "__weakref__" not in MendleSummary.__dict__


def test_summary_type_stays_mutable():
    MendleSummary.extra = 1
    try:
        assert MendleSummary.extra == 1
    finally:
        del MendleSummary.extra


def test_repair_writes_output_and_quarantine(write_input, tmp_path):
    output, quarantine = tmp_path / "out.csv", tmp_path / "q.csv"
    summary = backend.mendle_file(
        write_input('h1,h2,h3\na,"b,1",c\nd,e\nf,g,h,i\n'),
        str(output),
        str(quarantine),
        fill_ragged_rows=False,
    )
    assert summary.to_dict() == {
        "total_rows": 4,
        "mendled_rows": 3,
        "repaired_rows": 1,
        "quarantined_rows": 1,
        "detected_delimiter": ",",
        "inferred_columns": 3,
    }
    assert output.read_bytes() == b'h1,h2,h3\na,"b,1",c\nf,g,"h,i"\n'
    assert quarantine.read_bytes() == b'line,reason,raw_content\n4,"Row has too few columns (expected 3)","d,e"\n'


def test_empty_input(write_input, tmp_path):
    output, quarantine = tmp_path / "out.csv", tmp_path / "q.csv"
    summary = backend.mendle_file(write_input(b""), str(output), str(quarantine), delimiter=";", expected_columns=4)
    assert summary.to_dict() == dict.fromkeys(FIELDS, 0) | {"detected_delimiter": ","}
    assert output.read_bytes() == b""
    assert quarantine.read_bytes() == b"line,reason,raw_content\n"


@pytest.mark.parametrize(
    "content, options, written",
    [
        ("abc,x\n", {}, "abc,x\n"),
        (" a ,x\n", {}, " a ,x\n"),
        ('"a,b",x\n', {}, '"a,b",x\n'),
        ('"say ""hi""",x\n', {}, '"say ""hi""",x\n'),
        ('"a\nb","c\rd"\n', {}, '"a\nb","c\rd"\n'),
        ("'it''s',x\n", {"quote_char": "'"}, "'it''s',x\n"),
        ('"a;b";c\n', {"delimiter": ";"}, '"a;b";c\n'),
        ("a,b;c\n", {"delimiter": ";"}, "a,b;c\n"),
        ("a,b\tc\n", {"delimiter": "\t"}, "a,b\tc\n"),
        ("a,b\r\nc,d\r\n", {}, "a,b\nc,d\n"),
        ("\ufeffa,b\n", {}, "a,b\n"),
        ("a,b,c\n\n", {}, "a,b,c\n,,\n"),
        ("a,b,c,d,e\n", {"expected_columns": 3}, 'a,b,"c,d,e"\n'),
        ("a,b\n", {"expected_columns": 0}, "a,b\n"),
        (b"a\xc3b\n", {"delimiter": "\u00e9"}, "a\u00c3b\n"),
    ],
)
def test_output_format(mendle, content, options, written):
    assert mendle(content, **options)[1] == written


def test_missing_input_raises_exactly_oserror(tmp_path):
    output = tmp_path / "out.csv"
    with pytest.raises(OSError) as caught:
        backend.mendle_file(str(tmp_path / "missing.csv"), str(output))
    error = caught.value
    assert type(error) is OSError
    assert str(error) == f"{os.strerror(2)} (os error 2)"
    assert len(error.args) == 1
    assert (error.errno, error.strerror, error.filename) == (None, None, None)
    assert not output.exists()


# An input that cannot be read and an output on a full device: test_faults.py.
@pytest.mark.parametrize("case, error_number", [("output in a missing directory", 2), ("empty quarantine path", 2)])
def test_file_errors_raise_plain_oserror(write_input, tmp_path, case, error_number):
    input_path, output = write_input("a,b\n"), tmp_path / "out.csv"
    arguments = [input_path, str(output)]
    if case == "output in a missing directory":
        arguments[1] = str(tmp_path / "nowhere" / "out.csv")
    else:
        arguments.append("")
    with pytest.raises(OSError) as caught:
        backend.mendle_file(*arguments)
    assert type(caught.value) is OSError
    assert str(caught.value) == f"{os.strerror(error_number)} (os error {error_number})"
    assert caught.value.errno is None
    if case == "empty quarantine path":
        assert output.read_bytes() == b"a,b\n"
    else:
        assert not output.exists()


def test_quarantine_path_equal_to_output_path_is_refused(write_input, tmp_path):
    input_path = write_input("a,b\nc\n")
    output = tmp_path / "out.csv"
    output.write_bytes(b"untouched\n")
    with pytest.raises(OSError) as caught:
        backend.mendle_file(input_path, str(output), str(output))
    assert type(caught.value) is OSError
    assert caught.value.args == ("quarantine_path names the same file as output_path",)
    assert output.read_bytes() == b"untouched\n"
    assert pathlib.Path(input_path).read_bytes() == b"a,b\nc\n"

