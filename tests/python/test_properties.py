"""Properties of every repair, for random damaged CSV and random options: the
counts add up, delivered rows have the applied width, the written file reads
back with the stdlib csv module as exactly the rows the reader delivers, and
a second repair of that file changes nothing."""

import csv
import io

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from csv_mendle import _csv_mendle_backend as backend

# Deterministic for CI: a fixed number of examples drawn from a fixed seed,
# and no example database carried between runs.
settings.register_profile(
    "properties",
    max_examples=250,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
PROPERTIES = settings.get_profile("properties")

BOM = b"\xef\xbb\xbf"

# Pieces of damaged CSV: every delimiter candidate, both quotes, every kind of
# line break, blanks, multi-byte and invisible characters, and doubled quotes.
PIECES = ["a", "b", "7", "x y", " ", ",", ";", "\t", "|", '"', "'", '""', "\n", "\r", "\r\n",
          "é", "§", "\u00a0", "\ufeff", "\x00"]
FIELDS = st.lists(st.sampled_from(["a", "b c", "", " ", '"', "'", "é", ",", ";", "|", "\n"]),
                  max_size=3).map("".join)


@st.composite
def table_text(draw):
    """Rows of mostly equal width, some quoted, some ragged: data the
    heuristics can read, with the damage in a minority of rows."""
    delimiter = draw(st.sampled_from([",", ";", "\t", "|"]))
    width = draw(st.integers(1, 5))
    lines = []
    for _ in range(draw(st.integers(0, 12))):
        n = draw(st.one_of(st.just(width), st.integers(1, 7)))
        fields = []
        for _ in range(n):
            field = draw(FIELDS)
            if draw(st.booleans()):
                field = '"' + field.replace('"', '""') + '"'
            fields.append(field)
        lines.append(delimiter.join(fields))
    ending = draw(st.sampled_from(["\n", "\r\n", "\r"]))
    return ending.join(lines) + draw(st.sampled_from(["", ending]))


DAMAGED = st.tuples(
    st.booleans(),
    st.one_of(
        st.lists(st.sampled_from(PIECES), max_size=80).map("".join).map(str.encode),
        table_text().map(str.encode),
        st.binary(max_size=60),
        st.lists(st.one_of(st.sampled_from(PIECES).map(str.encode), st.binary(min_size=1, max_size=3)),
                 max_size=30).map(b"".join),
    ),
).map(lambda bom_and_data: (BOM if bom_and_data[0] else b"") + bom_and_data[1])

OPTIONS = st.fixed_dictionaries(
    {},
    optional={
        "delimiter": st.sampled_from([None, "", ",", ";", "\t", "|", " ", "'", '"', ";;", "é", "§"]),
        "quote_char": st.sampled_from(['"', "'", "", "''", "|", "é"]),
        "fill_ragged_rows": st.booleans(),
        "merge_overflow": st.booleans(),
        "expected_columns": st.one_of(st.none(), st.integers(0, 6)),
        "repair_quotes": st.booleans(),
    },
)


def first_byte_char(text, default):
    """The character an option string stands for: its first UTF-8 byte."""
    return chr(text.encode()[0]) if text else default


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("properties")
    return {name: str(root / f"{name}.csv") for name in ("input", "output", "quarantine", "again")}


def repair(files, data, options):
    """Both entry points over the same bytes: (summary, output bytes,
    quarantine text, delivered rows)."""
    with open(files["input"], "wb") as handle:
        handle.write(data)
    summary = backend.mendle_file(files["input"], files["output"], files["quarantine"], **options)
    with open(files["output"], "rb") as handle:
        written = handle.read()
    with open(files["quarantine"], "rb") as handle:
        set_aside = handle.read().decode("utf-8")
    reader = backend.MendleReader(files["input"], **options)
    rows = list(reader)
    assert reader.summary.to_dict() == summary.to_dict()
    return summary, written, set_aside, rows


def read_back(written, delimiter, quote):
    """The output as the stdlib csv module reads it, strictly."""
    text = written.decode("utf-8")  # the output is UTF-8 whatever the input was
    return list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter, quotechar=quote,
                           doublequote=True, strict=True, skipinitialspace=False,
                           lineterminator="\n"))


def readable(delimiter, quote):
    # A delimiter equal to the quote, or a line end as either, makes any CSV ambiguous.
    return delimiter != quote and not {delimiter, quote} & {"\n", "\r"}


@PROPERTIES
@given(data=DAMAGED, options=OPTIONS)
def test_counts_add_up_and_every_row_has_the_applied_width(files, data, options):
    summary, written, set_aside, rows = repair(files, data, options)
    assert summary.total_rows == summary.mendled_rows + summary.quarantined_rows
    assert summary.repaired_rows <= summary.mendled_rows
    assert len(rows) == summary.mendled_rows
    assert all(len(row) >= 1 for row in rows)
    if summary.inferred_columns:
        assert {len(row) for row in rows} <= {summary.inferred_columns}
    if options.get("expected_columns") is not None and data:
        assert summary.inferred_columns == options["expected_columns"]
    if summary.inferred_columns == 0:
        assert summary.repaired_rows == summary.quarantined_rows == 0
    if not options.get("fill_ragged_rows", True) and not options.get("merge_overflow", True):
        assert summary.repaired_rows == 0
    if not data:
        assert written == b"" and summary.total_rows == 0

    # The quarantine file: its header, then one record per quarantined row,
    # in input order, each with its line and the reason for its width.
    records = list(csv.reader(io.StringIO(set_aside, newline=""), strict=True))
    assert records[0] == ["line", "reason", "raw_content"]
    assert len(records) == 1 + summary.quarantined_rows
    expected = summary.inferred_columns
    reasons = {f"Row has too few columns (expected {expected})", f"Row has extra columns (expected {expected})"}
    lines = [int(line) for line, _, _ in records[1:]]
    assert lines == sorted(lines) and all(line >= 1 for line in lines)
    assert all(reason in reasons for _, reason, _ in records[1:])


@PROPERTIES
@given(data=DAMAGED, options=OPTIONS)
def test_written_file_reads_back_as_the_delivered_rows(files, data, options):
    summary, written, _, rows = repair(files, data, options)
    delimiter = summary.detected_delimiter
    quote = first_byte_char(options.get("quote_char", '"'), '"')
    if not readable(delimiter, quote):
        return
    # The one difference: a row of one empty field is written as an empty
    # line, which the csv module reads as a row of no fields.
    assert read_back(written, delimiter, quote) == [[] if row == [""] else row for row in rows]


@PROPERTIES
@given(data=DAMAGED, options=OPTIONS)
def test_a_second_repair_of_the_output_changes_nothing(files, data, options):
    summary, written, _, rows = repair(files, data, options)
    delimiter = summary.detected_delimiter
    quote = first_byte_char(options.get("quote_char", '"'), '"')
    # Only characters of one byte survive as the options of a second run;
    # an output that starts with U+FEFF loses it to the byte-order-mark rule.
    if not readable(delimiter, quote) or max(ord(delimiter), ord(quote)) >= 0x80:
        return
    if written.startswith(BOM):
        return
    again = backend.mendle_file(files["output"], files["again"], delimiter=delimiter, quote_char=quote,
                                expected_columns=summary.inferred_columns)
    with open(files["again"], "rb") as handle:
        assert handle.read() == written
    assert (again.total_rows, again.mendled_rows, again.repaired_rows, again.quarantined_rows) == (
        len(rows), len(rows), 0, 0)


def test_a_row_of_one_empty_field_is_an_empty_line_that_csv_reads_as_no_fields(mendle, write_input):
    summary, written = mendle("a\n\n\"\"\nb\n", expected_columns=1)
    assert written == "a\n\n\nb\n"
    assert list(backend.open(write_input("a\n\n\"\"\nb\n"), expected_columns=1)) == [["a"], [""], [""], ["b"]]
    assert read_back(written.encode(), ",", '"') == [["a"], [], [], ["b"]]
    # Two or more empty fields keep their delimiters and read back exactly.
    assert read_back(mendle(",\n,,\n", expected_columns=0)[1].encode(), ",", '"') == [["", ""], ["", "", ""]]


def test_a_first_field_starting_with_u_feff_is_written_bare_and_reads_as_a_byte_order_mark(mendle, write_input):
    # Only the first of two marks is skipped; the second is text of the first
    # field, and the writer quotes nothing for it.  A second repair then
    # skips it as the output's own byte-order mark.
    summary, written = mendle(BOM + BOM + b"a,b\n")
    assert written.encode() == BOM + b"a,b\n"
    assert list(backend.open(write_input(written.encode(), "again.csv"))) == [["a", "b"]]
