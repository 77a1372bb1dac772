"""How Python values become arguments: the four parameter kinds, the
interpreter's wording for call-shape errors, and the option values' effect."""

import operator
import pathlib

import pytest

from csv_mendle import _csv_mendle_backend as backend


@pytest.fixture
def paths(tmp_path):
    """A missing input (any conversion that passes ends in OSError) and an output path."""
    return str(tmp_path / "missing.csv"), str(tmp_path / "out.csv")


def index_error_message(value):
    try:
        operator.index(value)
    except TypeError as error:
        return str(error)
    raise AssertionError("operator.index accepted the value")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "param, value, error, message",
    [
        ("input_path", b"in.csv", TypeError, "'bytes' object is not an instance of 'str'"),
        ("input_path", pathlib.PurePosixPath("in.csv"), TypeError, "'PurePosixPath' object is not an instance of 'str'"),
        ("output_path", None, TypeError, "'None' is not an instance of 'str'"),
        ("quarantine_path", 1, TypeError, "'int' object is not an instance of 'str'"),
        ("delimiter", b";", TypeError, "'bytes' object is not an instance of 'str'"),
        ("delimiter", "\udc80", UnicodeEncodeError, None),
        ("quote_char", None, TypeError, "'None' is not an instance of 'str'"),
        ("fill_ragged_rows", 1, TypeError, "'int' object is not an instance of 'bool'"),
        ("merge_overflow", 0, TypeError, "'int' object is not an instance of 'bool'"),
        ("repair_quotes", None, TypeError, "'None' is not an instance of 'bool'"),
        ("repair_quotes", "yes", TypeError, "'str' object is not an instance of 'bool'"),
        ("expected_columns", "3", TypeError, index_error_message("3")),
        ("expected_columns", 1.5, TypeError, index_error_message(1.5)),
        ("expected_columns", -1, OverflowError, None),
        ("expected_columns", 2**64, OverflowError, None),
        ("expected_columns", Index(-5), OverflowError, None),
    ],
)
def test_conversion_errors_name_their_parameter(paths, param, value, error, message):
    arguments = {"input_path": paths[0], "output_path": paths[1], param: value}
    with pytest.raises(error) as caught:
        backend.mendle_file(**arguments)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{param}'"]


def test_first_failing_argument_stops_conversion(paths):
    with pytest.raises(TypeError) as caught:
        backend.mendle_file(paths[0], None, quote_char=None, repair_quotes=1)
    assert caught.value.__notes__ == ["while processing 'output_path'"]


@pytest.mark.parametrize("count", [0, 2**64 - 1, Index(3), True])
def test_counts_up_to_2_64_minus_1_convert(paths, count):
    # repair_quotes comes after expected_columns: its error proves the count passed.
    with pytest.raises(TypeError) as caught:
        backend.mendle_file(*paths, expected_columns=count, repair_quotes=1)
    assert caught.value.__notes__ == ["while processing 'repair_quotes'"]


def test_conversion_failure_touches_no_file(write_input, tmp_path):
    output = tmp_path / "out.csv"
    with pytest.raises(TypeError):
        backend.mendle_file(write_input("a,b\n"), str(output), merge_overflow=1)
    assert not output.exists()


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "mendle_file() missing required argument 'input_path' (pos 1)"),
        (("in",), {}, "mendle_file() missing required argument 'output_path' (pos 2)"),
        ((), {"output_path": "out"}, "mendle_file() missing required argument 'input_path' (pos 1)"),
        (("in", "out", None, None, '"', True, True, None, True, 1), {}, "mendle_file() takes at most 9 arguments (10 given)"),
        (("in", "out"), {"input_path": "x"}, "argument for mendle_file() given by name ('input_path') and position (1)"),
        (("in", "out"), {"delimeter": ";"}, "mendle_file() got an unexpected keyword argument 'delimeter'. Did you mean 'delimiter'?"),
        (("in", "out"), {"Quote_Char": "'"}, "mendle_file() got an unexpected keyword argument 'Quote_Char'. Did you mean 'quote_char'?"),
        (("in", "out"), {"bogus": 1}, "mendle_file() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_call_shape_errors_use_the_interpreter_wording(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        backend.mendle_file(*args, **kwargs)
    assert str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")


def test_every_parameter_can_be_passed_by_keyword(write_input, tmp_path):
    summary = backend.mendle_file(
        input_path=write_input("a;b\nc\n"),
        output_path=str(tmp_path / "out.csv"),
        quarantine_path=str(tmp_path / "q.csv"),
        delimiter=";",
        quote_char='"',
        fill_ragged_rows=False,
        merge_overflow=True,
        expected_columns=2,
        repair_quotes=True,
    )
    assert summary.quarantined_rows == 1


@pytest.mark.parametrize("truth", [False, True])
def test_numpy_bool_reads_as_a_flag(mendle, truth):
    numpy = pytest.importorskip("numpy")
    summary, _ = mendle("a,b,c\nd,e\n", fill_ragged_rows=numpy.bool_(truth))
    expected, _ = mendle("a,b,c\nd,e\n", fill_ragged_rows=truth)
    assert summary.to_dict() == expected.to_dict()
    assert summary.quarantined_rows == (0 if truth else 1)


def test_numpy_integer_is_not_a_flag(paths):
    numpy = pytest.importorskip("numpy")
    with pytest.raises(TypeError) as caught:
        backend.mendle_file(*paths, repair_quotes=numpy.int64(1))
    assert str(caught.value) == "'int64' object is not an instance of 'bool'"


@pytest.mark.parametrize(
    "given, same_as",
    [
        ({"delimiter": ""}, {"delimiter": None}),
        ({"delimiter": ";;"}, {"delimiter": ";"}),
        ({"quote_char": ""}, {}),
        ({"quote_char": "''"}, {"quote_char": "'"}),
        ({"expected_columns": Index(2)}, {"expected_columns": 2}),
    ],
)
def test_options_reduce_to_their_first_byte(mendle, given, same_as):
    content = "a;'b;c';d\ne;f;g\n"
    assert mendle(content, **given)[1] == mendle(content, **same_as)[1]
    assert mendle(content, **given)[0].to_dict() == mendle(content, **same_as)[0].to_dict()


def test_apostrophe_quote_keeps_a_quoted_delimiter_in_its_field(mendle):
    options = {"expected_columns": 2, "merge_overflow": False}
    assert mendle("'a,b',c\n", quote_char="''", **options)[0].quarantined_rows == 0
    assert mendle("'a,b',c\n", **options)[0].quarantined_rows == 1


@pytest.mark.parametrize(
    "delimiter, content, reported",
    [
        ("é", "a\xc3b\n".encode("latin-1"), "\u00c3"),
        ("\x00", b"a\x00b\nc\x00d\n", "\x00"),
        ("\t;", b"a\tb\n", "\t"),
    ],
)
def test_delimiter_is_the_first_utf8_byte(mendle, delimiter, content, reported):
    summary, _ = mendle(content, delimiter=delimiter)
    assert summary.detected_delimiter == reported
    assert summary.inferred_columns == 2

