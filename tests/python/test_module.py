"""The module's namespace, its callables' signatures, and sniff."""

import importlib
import inspect
import sys

import pytest

import csv_mendle
from csv_mendle import _csv_mendle_backend as backend

MODULE_NAME = "csv_mendle._csv_mendle_backend"
PUBLIC = ["mendle_file", "sniff", "open", "MendleSummary", "MendleReader"]


def test_module_attributes():
    assert backend.__version__ == "0.2.0"
    assert backend.__all__ == PUBLIC
    assert backend.__doc__ == (
        "High-performance, fault-tolerant CSV mendle and reconstruction engine.\n\n"
        "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
        "(Polars, DuckDB, Pandas) abort with ParserError."
    )


def test_namespace_holds_only_the_public_names_and_interpreter_attributes():
    interpreter = {"__name__", "__doc__", "__loader__", "__package__", "__spec__", "__file__"}
    assert set(vars(backend)) == interpreter | {"__version__", "__all__", *PUBLIC}
    assert set(dir(backend)) == interpreter | {"__version__", "__all__", *PUBLIC}


@pytest.mark.parametrize("name", ["mendle_file", "sniff", "open"])
def test_functions_are_bound_to_the_module(name):
    function = getattr(backend, name)
    assert function.__self__ is backend
    assert function.__module__ == MODULE_NAME
    assert function.__name__ == name


@pytest.mark.parametrize(
    "callable_name, signature",
    [
        ("sniff", "(sample)"),
        (
            "mendle_file",
            '(input_path, output_path, quarantine_path=None, delimiter=None, quote_char="\\"", '
            "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)",
        ),
        (
            "open",
            '(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
            "merge_overflow=True, expected_columns=None, repair_quotes=True)",
        ),
        (
            "MendleReader",
            '(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
            "merge_overflow=True, expected_columns=None, repair_quotes=True)",
        ),
    ],
)
def test_text_signatures(callable_name, signature):
    assert getattr(backend, callable_name).__text_signature__ == signature


def test_quote_char_default_is_one_double_quote():
    parameters = inspect.signature(backend.mendle_file).parameters
    assert parameters["quote_char"].default == '"'
    assert parameters["expected_columns"].default is None


@pytest.mark.parametrize(
    "callable_name, doc",
    [
        ("sniff", "Detects the most likely delimiter from a CSV string sample."),
        ("open", "Convenience function to open and stream a mendled CSV file."),
        ("MendleReader", "In-memory streaming reader iterating over mendled rows."),
        ("MendleSummary", "Python-exposed summary of a mendle operation."),
    ],
)
def test_docstrings(callable_name, doc):
    assert getattr(backend, callable_name).__doc__ == doc


def test_mendle_file_docstring_names_every_parameter():
    doc = backend.mendle_file.__doc__
    assert doc.startswith("Mendles a corrupted CSV file and writes a clean, standard RFC-4180 file.\n\nArgs:\n")
    assert '    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.\n' in doc
    assert "    quote_char: Optional single-character quote enclosure (default '\"').\n" in doc
    assert doc.endswith("    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.")


@pytest.mark.parametrize("type_name", ["MendleSummary", "MendleReader"])
def test_classes_report_builtins_and_cannot_be_subclassed(type_name):
    cls = getattr(backend, type_name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == type_name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_reimport_gives_a_new_module_with_the_same_classes(monkeypatch):
    monkeypatch.delitem(sys.modules, MODULE_NAME)
    monkeypatch.setattr(csv_mendle, "_csv_mendle_backend", backend)
    again = importlib.import_module(MODULE_NAME)
    assert again is not backend
    assert again.MendleSummary is backend.MendleSummary
    assert again.MendleReader is backend.MendleReader
    assert again.sniff is not backend.sniff
    assert again.sniff.__self__ is again


@pytest.mark.parametrize(
    "sample, delimiter",
    [
        ("", ","),
        ("a;b\nc;d\n", ";"),
        ("a,b\nc,d\n", ","),
        ("a\tb\nc\td\n", "\t"),
        ("a|b|c\nd|e|f\n", "|"),
        ("a;b\x00\nc;d\n", ";"),
    ],
)
def test_sniff(sample, delimiter):
    assert backend.sniff(sample) == delimiter
    assert backend.sniff(sample=sample) == delimiter
    assert backend.sniff("\ufeff" + sample) == delimiter


def test_sniff_accepts_a_str_subclass():
    class Text(str):
        pass

    assert backend.sniff(Text("a;b\nc;d\n")) == ";"


@pytest.mark.parametrize(
    "args, kwargs, error, message, notes",
    [
        ((b"a;b\n",), {}, TypeError, "'bytes' object is not an instance of 'str'", ["while processing 'sample'"]),
        ((None,), {}, TypeError, "'None' is not an instance of 'str'", ["while processing 'sample'"]),
        (("\ud800",), {}, UnicodeEncodeError, None, ["while processing 'sample'"]),
        ((), {}, TypeError, "sniff() missing required argument 'sample' (pos 1)", None),
        (("a", "b"), {}, TypeError, "sniff() takes at most 1 argument (2 given)", None),
        (("a",), {"sample": "b"}, TypeError, "sniff() takes at most 1 argument (2 given)", None),
        ((), {"sample": "a", "x": 1}, TypeError, "sniff() takes at most 1 keyword argument (2 given)", None),
        # A lone unknown keyword leaves 'sample' missing, and that is reported first.
        ((), {"x": "a"}, TypeError, "sniff() missing required argument 'sample' (pos 1)", None),
    ],
)
def test_sniff_argument_errors(args, kwargs, error, message, notes):
    with pytest.raises(error) as caught:
        backend.sniff(*args, **kwargs)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    assert getattr(caught.value, "__notes__", None) == notes
