"""The files people really have, made here as the programs that write them
do, rescued to the rows a person would expect: through `read`, and through
the command line's `repair` read back by the standard library."""

import csv
import gzip

import pytest

import csv_mendle
from csv_mendle import cli

DAMAGED = 'id,name,note\n1,Ann,"said "hi" twice"\n2,Bob\n3,Cy,x,y\n'
DAMAGED_ROWS = [["id", "name", "note"], ["1", "Ann", 'said "hi" twice'], ["2", "Bob", ""], ["3", "Cy", "x,y"]]


# (what, the file's bytes, options of read and repair, the same as command line flags, rows)
CASES = [
    ("Excel semicolon export in cp1252",
     "Name;Stadt;Betrag\r\nMüller;Köln;12,50 €\r\nStraße;Gießen;3\r\n".encode("cp1252"),
     {"encoding": "cp1252"}, ["--encoding", "cp1252"],
     [["Name", "Stadt", "Betrag"], ["Müller", "Köln", "12,50 €"], ["Straße", "Gießen", "3"]]),
    ("cp1252 found by auto",
     "Name;Stadt\r\nMüller;Köln\r\n".encode("cp1252"), {"encoding": "auto"}, ["--encoding", "auto"],
     [["Name", "Stadt"], ["Müller", "Köln"]]),
    ("Latin-1", "nom,ville\nRenée,Besançon\n".encode("latin-1"), {"encoding": "latin-1"},
     ["--encoding", "latin-1"], [["nom", "ville"], ["Renée", "Besançon"]]),
    ("Excel 'Unicode text': UTF-16LE with a BOM, tab-separated",
     b"\xff\xfe" + "id\tname\r\n1\tJosé\r\n2\t\"a\tb\"\r\n".encode("utf-16-le"), {"encoding": "utf-16"},
     ["--encoding", "utf-16"], [["id", "name"], ["1", "José"], ["2", "a\tb"]]),
    ("UTF-32 with its BOM", "a,b\n1,ü\n".encode("utf-32"), {"encoding": "auto"}, ["--encoding", "auto"],
     [["a", "b"], ["1", "ü"]]),
    ("a damaged CSV, gzip-compressed", gzip.compress(DAMAGED.encode()), {}, [], DAMAGED_ROWS),
    ("a title, Excel's sep= line and comments",
     b"Sales report 2026\nsep=;\n# exported by Ledger\nregion;total\nnorth;1\n# south pending\neast;2\n",
     {"skip_rows": 2, "comment": "#"}, ["--skip-rows", "2", "--comment", "#"],
     [["region", "total"], ["north", "1"], ["east", "2"]]),
    ("a header wider than most rows", b"id,name,email,phone,city\n1,Ann,a@x\n2,Bob,b@x\n3,Cy,c@x,555\n",
     {"header": True}, ["--header"],
     [["id", "name", "email", "phone", "city"], ["1", "Ann", "a@x", "", ""], ["2", "Bob", "b@x", "", ""],
      ["3", "Cy", "c@x", "555", ""]]),
    ("' quoting", b"a,b\n'x, y',z\n'it''s',w\n", {"quote_char": "'"}, ["--quote-char", "'"],
     [["a", "b"], ["x, y", "z"], ["it's", "w"]]),
    ("' quoting, sniffed", b"a,b\n'x, y',z\n'it''s',w\n", {"quote_char": None}, ["--sniff-quote"],
     [["a", "b"], ["x, y", "z"], ["it's", "w"]]),
    ("a space after each delimiter", b'a, "b, c", d\n1, "2, 3", 4\n', {"skip_initial_space": True},
     ["--skip-initial-space"], [["a", "b, c", "d"], ["1", "2, 3", "4"]]),
    ("backslash-escaped quotes", b'"say \\"hi\\"",1\n"C:\\\\temp",2\nx\\,y,3\n', {"escape_char": "\\"},
     ["--escape-char", "\\"], [['say "hi"', "1"], ["C:\\temp", "2"], ["x,y", "3"]]),
    ("pipes", b"a|b\n1|\"x|y\"\n", {}, [], [["a", "b"], ["1", "x|y"]]),
]


@pytest.mark.parametrize("what, content, options, flags, rows", CASES, ids=[case[0] for case in CASES])
def test_each_file_is_rescued_to_the_rows_a_person_expects(tmp_path, capsys, what, content, options, flags, rows):
    source = tmp_path / "export.csv"
    source.write_bytes(content)

    reader = csv_mendle.read(source, **options)
    if options.get("header"):
        assert reader.header == rows[0]
        assert list(reader) == rows[1:]
    else:
        assert list(reader) == rows

    output = tmp_path / "out.csv"
    status = cli.main(["repair", str(source), "-o", str(output), "--output-delimiter", "comma",
                       "--output-quote-char", '"', *flags])
    assert (status, capsys.readouterr().err) == (0, "")
    with open(output, encoding="utf-8", newline="") as written:
        assert list(csv.reader(written)) == rows


@pytest.mark.parametrize(
    "content, options, error, words",
    [
        ("a,b\n".encode("utf-16-le") + b"\x00", {"encoding": "utf-16-le"}, ValueError, "odd number of bytes"),
        (b"a,b\n", {"encoding": "ebcdic-klingon"}, LookupError, "unknown encoding"),
        (b"a,b\n", {"escape_char": '"'}, ValueError, "quote_char and escape_char must differ"),
        (b"a,b\n", {"escape_char": ",", "delimiter": ","}, ValueError, "delimiter and escape_char must differ"),
    ],
)
def test_malformed_input_is_a_clear_error_and_nothing_is_written(tmp_path, content, options, error, words):
    source = tmp_path / "in.csv"
    source.write_bytes(content)
    with pytest.raises(error, match=words):
        csv_mendle.repair(source, tmp_path / "out.csv", quarantine=tmp_path / "q.csv", **options)
    with pytest.raises(error, match=words):
        csv_mendle.read(source, **options)
    assert [path.name for path in tmp_path.iterdir()] == ["in.csv"]
