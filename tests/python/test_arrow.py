"""The Arrow PyCapsule interface of a reader: the stream pyarrow loads holds
exactly the rows iteration yields, as utf8 or as views on request, null
where a ragged row ends early; it is
the reader's one pass; a stream dropped unread or halfway frees itself
(`./dev sanitize` checks no leak and no double free); the conveniences import
their library only when called; DuckDB scans it as a table."""

import subprocess
import sys

import pytest

import csv_mendle

pa = pytest.importorskip("pyarrow")

BATCH_ROWS = 65536
MANY = "".join(f'{i},"q{i} ""x""",é{i}\n' if i % 5 else f'{i},"stray "q" {i}",\n' for i in range(BATCH_ROWS + 10))

# (what, input, read options)
STREAMS = [
    ("stray and doubled quotes", b'h1,h2\n"said "hi" twice",b\n"a ""q""",c\n', {}),
    ("multi-line fields", b'a,b\n"line 1\nline 2",x\n"cr\r\nlf",y\n', {}),
    ("non-ASCII text and bytes that are not UTF-8", "é,ß\n€,✓\n".encode() + b"\xff,\xe9t\xe9\n", {}),
    ("empty fields", b"a,,c\n,,\n,b,\n", {}),
    ("ragged rows kept: missing cells are null", b"a,b,c\n1\n2,3,4,5\n\n6,7\n", {"expected_columns": 0}),
    ("short rows padded, long rows merged", b"a,b,c\n1\n2,3,4,5\n", {}),
    ("an empty file", b"", {}),
    ("only a header line", b"h1;h2;h3\n", {}),
    ("more rows than one batch holds", MANY.encode(), {}),
]


def padded(rows, width):
    return [tuple(row) + (None,) * (width - len(row)) for row in rows]


def table_rows(table):
    return list(zip(*(column.to_pylist() for column in table.columns), strict=True))


@pytest.mark.parametrize("content, options", [case[1:] for case in STREAMS], ids=[case[0] for case in STREAMS])
def test_the_stream_holds_exactly_the_rows_that_iteration_yields(write_input, content, options):
    path = write_input(content)
    rows = list(csv_mendle.read(path, **options))
    width = max(map(len, rows), default=0)
    # utf8 unless views are asked for; any other request leaves utf8.
    for requested, text in ((None, pa.string()), (pa.string_view(), pa.string_view()), (pa.binary(), pa.string())):
        wanted = None if requested is None else pa.schema([(f"column_{c}", requested) for c in range(1, width + 1)])
        stream = csv_mendle.read(path, **options).__arrow_c_stream__(wanted and wanted.__arrow_c_schema__())
        table = pa.RecordBatchReader._import_from_c_capsule(stream).read_all()
        table.validate(full=True)
        assert table.schema == pa.schema([pa.field(f"column_{c}", text) for c in range(1, width + 1)])
        assert table_rows(table) == padded(rows, width)
        assert all(column.num_chunks == -(-len(rows) // BATCH_ROWS) for column in table.columns)


def test_the_stream_takes_the_rows_not_yet_handed_out_once(write_input):
    path = write_input(b"a,b,c,d\nc,d,e\nf\n")
    reader = csv_mendle.read(path, expected_columns=0)
    assert next(reader) == ["a", "b", "c", "d"]
    # As wide as the widest row of all, the one handed out included.
    table = reader.to_arrow()
    assert table_rows(table) == [("c", "d", "e", None), ("f", None, None, None)]
    assert list(reader) == [] and len(reader) == 3
    for second_consumer in (reader.to_arrow, reader.__arrow_c_stream__, lambda: pa.table(reader)):
        with pytest.raises(RuntimeError, match="^the rows of this reader were already taken$"):
            second_consumer()
    # The schema stays the reader's, whatever was taken.
    assert pa.schema(reader) == table.schema


def test_a_stream_dropped_unread_or_halfway_releases_itself(write_input):
    path = write_input(MANY.encode())
    csv_mendle.read(path).__arrow_c_stream__()
    csv_mendle.read(path).__arrow_c_schema__()
    batches = pa.RecordBatchReader.from_stream(csv_mendle.read(path))
    assert batches.read_next_batch().num_rows == BATCH_ROWS
    del batches
    schema = pa.Schema._import_from_c_capsule(csv_mendle.read(path).__arrow_c_schema__())
    assert schema.names == ["column_1", "column_2", "column_3"]


@pytest.mark.parametrize("dtype_backend", [None, "pyarrow", "numpy"])
def test_to_pandas_gives_str_cells_and_nulls_where_a_row_ended(write_input, dtype_backend):
    pd = pytest.importorskip("pandas")
    reader = csv_mendle.read(write_input(b"a,b\nc\n"), expected_columns=0)
    frame = reader.to_pandas() if dtype_backend is None else reader.to_pandas(dtype_backend=dtype_backend)
    assert frame.columns.tolist() == ["column_1", "column_2"]
    assert frame["column_1"].tolist() == ["a", "c"] and frame["column_2"][0] == "b"
    assert frame.isna().values.tolist() == [[False, False], [False, True]]
    # The default keeps the Arrow columns; "numpy" is pandas' own text dtype.
    expected = pd.ArrowDtype(pa.string()) if dtype_backend != "numpy" else pd.Series(["a"]).dtype
    assert frame.dtypes.tolist() == [expected, expected]


def test_to_pandas_refuses_an_unknown_backend_before_taking_the_rows(write_input):
    pytest.importorskip("pandas")
    reader = csv_mendle.read(write_input(b"a\n"))
    with pytest.raises(ValueError, match="^dtype_backend must be 'pyarrow' or 'numpy', not 'numpy_nullable'$"):
        reader.to_pandas(dtype_backend="numpy_nullable")  # type: ignore[arg-type]
    assert list(reader) == [["a"]]


def test_to_polars_goes_through_the_stream(write_input):
    pytest.importorskip("polars")
    frame = csv_mendle.read(write_input(b"a,b\nc\n"), expected_columns=0).to_polars()
    assert frame.to_dict(as_series=False) == {"column_1": ["a", "c"], "column_2": ["b", None]}


def test_duckdb_selects_from_the_reader_by_its_name(write_input):
    duckdb = pytest.importorskip("duckdb")
    reader = csv_mendle.read(write_input(b"a,b\n\"x\"\"y\",\nc\n"), expected_columns=0)
    assert duckdb.sql("select * from reader").fetchall() == [("a", "b"), ('x"y', ""), ("c", None)]


@pytest.mark.parametrize("method, missing", [("to_arrow", "pyarrow"), ("to_pandas", "pandas"),
                                             ("to_pandas", "pyarrow"), ("to_polars", "polars")])
def test_a_missing_library_names_the_package_to_install(write_input, monkeypatch, method, missing):
    reader = csv_mendle.read(write_input(b"a\n"))
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError, match=f"^Reader.{method}\\(\\) needs {missing}: install the {missing} package$"):
        getattr(reader, method)()
    assert len(list(reader)) == 1


def test_importing_the_package_imports_no_dataframe_library():
    code = "import csv_mendle, sys; print(sorted({'pyarrow', 'pandas', 'polars'} & set(sys.modules)))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "[]\n"
