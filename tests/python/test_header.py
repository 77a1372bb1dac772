"""A header row through the package: held apart by `read`, written first by
`repair`, naming the Arrow columns; and the quote sniffed with
`quote_char=None`."""

import io

import pytest

import csv_mendle

TABLE = '"x,y",b,c,d,e\n1,2,3\n4,5,6,7,8,9\n'


def test_read_holds_the_header_apart_and_repair_writes_it_first(write_input, tmp_path):
    path = write_input(TABLE)
    reader = csv_mendle.read(path, header=True)
    assert reader.header == ["x,y", "b", "c", "d", "e"]
    assert list(reader) == [["1", "2", "3", "", ""], ["4", "5", "6", "7", "8,9"]]
    # The header counts as a delivered row, but is not iterated.
    assert (reader.result.total_rows, reader.result.mendled_rows, reader.result.repaired_rows) == (3, 3, 2)
    assert len(reader) == 2
    assert reader.result.inferred_columns == 5

    output = tmp_path / "out.csv"
    result = csv_mendle.repair(path, output, header=True)
    assert output.read_text() == '"x,y",b,c,d,e\n1,2,3,,\n4,5,6,7,"8,9"\n'
    assert result == reader.result

    # Without it, the header line is a row like any other, and with no row
    # there is no header.
    plain = csv_mendle.read(path)
    assert plain.header is None
    assert next(plain) == ["x,y", "b", "c", "d", "e"]
    assert csv_mendle.read(write_input("\n\n", "blank.csv"), header=True).header is None


@pytest.mark.parametrize("header", ["a,a,a.1", "a,,a,b,a,,Unnamed: 1", "x,column_2"])
def test_arrow_columns_are_named_from_the_header_as_pandas_names_them(write_input, header):
    pa = pytest.importorskip("pyarrow")
    width = header.count(",") + 1
    text = f"{header}\n" + ",".join(str(i) for i in range(width)) + "\n"
    reader = csv_mendle.read(write_input(text), header=True)
    names = pa.schema(reader).names
    assert pa.table(reader).column_names == names
    pd = pytest.importorskip("pandas")
    assert names == list(pd.read_csv(io.StringIO(text), dtype=str).columns)


def test_columns_past_the_header_are_numbered(write_input):
    pa = pytest.importorskip("pyarrow")
    reader = csv_mendle.read(write_input("a,b\n1,2,3\n4\n"), header=True, expected_columns=0)
    table = pa.table(reader)
    assert table.column_names == ["a", "b", "column_3"]
    assert table.to_pylist() == [{"a": "1", "b": "2", "column_3": "3"},
                                 {"a": "4", "b": None, "column_3": None}]


@pytest.mark.parametrize("text, quote, row", [
    ("id,name,n\n1,'Smith, J',2\n3,'Doe, A',4\n", "'", ["1", "Smith, J", "2"]),
    ('id,name,n\n1,"Smith, J",2\n3,it\'s,4\n', '"', ["1", "Smith, J", "2"]),
    ("id,name,n\n1,plain,2\n", '"', ["1", "plain", "2"]),
])
def test_quote_char_none_sniffs_the_quote(write_input, tmp_path, text, quote, row):
    reader = csv_mendle.read(write_input(text), quote_char=None, header=True)
    assert reader.result.quote_char == quote
    assert next(reader) == row
    # The output is quoted with the quote the rows were read with.
    result = csv_mendle.repair(write_input(text), tmp_path / "out.csv", quote_char=None, header=True)
    assert result == reader.result
    assert next(csv_mendle.read(tmp_path / "out.csv", quote_char=quote, header=True)) == row
