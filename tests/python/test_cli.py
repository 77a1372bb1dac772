"""The command line.  What crosses the process boundary (exit statuses, the
entry points, worker processes, the terminal) runs the real interpreter in a
subprocess; the tables of options and errors call `cli.main` in-process."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import csv_mendle
from csv_mendle import cli

# A stray quote (row 1), a short row (2), a long row (3), apostrophes (4).
# Three columns win the inference clearly: a tie would be settled at random.
DAMAGED = "id;name;note\n1;\"Ada \"the\" Countess\";ok\n2;Alan\n3;Edsger;W;Nuenen\n4;'x;y';z\n5;Grace;Hopper\n"
CLEAN = "a,b\n1,2\n"


# Subprocesses import the csv_mendle under test even from another working
# directory (PYTHONPATH may hold a relative path).
PACKAGE_ROOT = str(pathlib.Path(csv_mendle.__file__).resolve().parents[1])
ENVIRONMENT = os.environ | {"PYTHONPATH": os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))}


def run(*arguments, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "csv_mendle", *map(str, arguments)],
        cwd=cwd, env=ENVIRONMENT, capture_output=True, text=True, timeout=60,
    )


def call(capsys, *arguments):
    """cli.main in this process: (exit status, stdout, stderr)."""
    status: object
    try:
        status = cli.main([str(argument) for argument in arguments])
    except SystemExit as exit:
        status = exit.code
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def mended(tmp_path, source, name, **options):
    """What the library itself makes of `source`: (result dict, output bytes, quarantine bytes)."""
    output, quarantine = tmp_path / f"{name}.lib.csv", tmp_path / f"{name}.lib-q.csv"
    result = csv_mendle.repair(source, output, quarantine=quarantine, **options)
    return result.to_dict(), output.read_bytes(), quarantine.read_bytes()


def listing(folder):
    return sorted(str(path.relative_to(folder)) for path in folder.rglob("*"))


@pytest.fixture
def damaged(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text(DAMAGED, encoding="utf-8")
    return path


# ---- repair, one file ----


def test_repair_writes_next_to_the_input_and_summarises_with_the_account(tmp_path, damaged):
    result = run("repair", damaged.name, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    expected, output, _ = mended(tmp_path, damaged, "x")
    assert (tmp_path / "in.mended.csv").read_bytes() == output
    lines = result.stdout.splitlines()
    assert lines[0] == (
        f"in.csv: {expected['total_rows']} rows in, {expected['mendled_rows']} delivered "
        f"({expected['repaired_rows']} repaired), 0 quarantined; delimiter semicolon, 3 columns"
    )
    assert lines[1].split() == ["output:", "in.mended.csv"]
    assert lines[2:] == [
        "  quotes repaired: 1 row, first at line 2",
        "  padded with empty fields: 1 row, first at line 3",
        "  surplus fields merged into the last: 2 rows, first at line 4",
    ]


@pytest.mark.parametrize(
    "arguments, options",
    [
        ([], {}),
        (["--no-fill"], {"fill_ragged_rows": False}),
        (["--no-merge"], {"merge_overflow": False}),
        (["--no-fill", "--no-merge", "-n", "2"], {"fill_ragged_rows": False, "merge_overflow": False, "expected_columns": 2}),
        (["--expected-columns", "0"], {"expected_columns": 0}),
        (["-d", "comma"], {"delimiter": ","}),
        (["--delimiter", "\\t"], {"delimiter": "\t"}),
        (["-d", ";", "--quote-char", "'"], {"delimiter": ";", "quote_char": "'"}),
        (["--no-repair-quotes"], {"repair_quotes": False}),
        (["--encoding", "latin-1"], {"encoding": "latin-1"}),
        (["--skip-rows", "1", "--comment", "#"], {"skip_rows": 1, "comment": "#"}),
        (["--header", "--skip-initial-space", "--escape-char", "\\"],
         {"header": True, "skip_initial_space": True, "escape_char": "\\"}),
        (["--sniff-quote"], {"quote_char": None}),
    ],
)
def test_options_reach_the_library_and_json_parses_back(tmp_path, capsys, damaged, arguments, options):
    expected, output, quarantine = mended(tmp_path, damaged, "x", **options)

    status, stdout, stderr = call(
        capsys, "repair", damaged, "-o", tmp_path / "out.csv", "-q", tmp_path / "q.csv", "--json", *arguments
    )
    assert (status, stderr) == (0, "")
    assert json.loads(stdout) == {
        "input": str(damaged), "output": str(tmp_path / "out.csv"), "quarantine": str(tmp_path / "q.csv"), **expected,
    }
    assert (tmp_path / "out.csv").read_bytes() == output
    assert (tmp_path / "q.csv").read_bytes() == quarantine

    status, stdout, stderr = call(capsys, "check", damaged, "--json", *arguments)
    assert (status, stderr) == (0, "")
    clean = set(expected["changes"]) <= {"bom_removed"}
    assert json.loads(stdout) == {"file": str(damaged), "clean": clean, **expected}


def test_output_options_write_the_dialect_asked_for(tmp_path, capsys):
    source = tmp_path / "in.csv"
    source.write_bytes(b"id;note\n1;'a, b'\n2;x;y\n")
    status, _, stderr = call(capsys, "repair", source, "-o", tmp_path / "out.csv", "-q", tmp_path / "q.csv",
                             "--quote-char", "'", "--crlf", "--bom", "--output-delimiter", "comma",
                             "--output-quote-char", '"')
    assert (status, stderr) == (0, "")
    assert (tmp_path / "out.csv").read_bytes() == b'\xef\xbb\xbfid,note\r\n1,"a, b"\r\n2,x;y\r\n'


# ---- check ----


CHANGED = "a repair would change it"
DAMAGED_ACCOUNT = ["quotes repaired", "padded with empty fields", "surplus fields merged into the last"]
BOM = "byte-order mark removed"


@pytest.mark.parametrize(
    "content, arguments, status, verdict, account",
    [
        (CLEAN, ["--strict"], 0, "clean", []),
        (DAMAGED, ["--strict"], 1, CHANGED, DAMAGED_ACCOUNT),
        (DAMAGED, [], 0, CHANGED, DAMAGED_ACCOUNT),
        ("a,b\n1,2\n3\n", ["--strict", "--no-fill"], 1, CHANGED, ["quarantined, too few fields"]),
        # A byte-order mark is no part of any value.
        ("\ufeffa,b\n1,2\n", ["--strict"], 0, "clean", [BOM]),
        ("\ufeffa,b\n\n1,2\n", ["--strict"], 1, CHANGED, ["padded with empty fields", "blank lines", BOM]),
    ],
)
def test_check_writes_nothing_and_strict_fails_when_a_repair_would_change_values(
    tmp_path, content, arguments, status, verdict, account
):
    (tmp_path / "data.csv").write_text(content, encoding="utf-8")
    result = run("check", "data.csv", *arguments, cwd=tmp_path)
    assert result.returncode == status
    assert listing(tmp_path) == ["data.csv"]
    first, *changes = result.stdout.splitlines()
    assert first.startswith("data.csv: ")
    assert first.endswith(f"; {verdict}")
    assert [line.split(":")[0].strip() for line in changes] == account
    assert len(result.stderr.splitlines()) == status  # the one line that says why it failed
    if status:  # and it names the kinds that change values
        assert result.stderr.startswith("csv-mendle: data.csv needs repair: ")
        assert [kind for kind in account if kind in result.stderr] == [kind for kind in account if kind != BOM]


# ---- sniff ----


@pytest.mark.parametrize(
    "content, arguments, name, columns",
    [
        ("a;b\n1;2\n3\n", [], "semicolon", 2),
        ("\ufeffa\tb\tc\td\n1\t2\t3\t4\n", [], "tab", 4),
        ("", [], "comma", 0),
        # Longer than the sample: the head is cut after a whole line.
        ("field one|field two|\"a; b\"|é\n" * 4000, [], "pipe", 4),
        # What lies beyond the sample does not count.
        ("a;b\n" * 20000 + "1\t2\t3\t4\t5\n" * 100000, [], "semicolon", 2),
        ("a;'b;c'\n1;'2;3'\n", ["--quote-char", "'"], "semicolon", 2),
    ],
    ids=["semicolon", "tab after a byte-order mark", "empty", "longer than the sample", "beyond the sample", "quote"],
)
def test_sniff_names_the_delimiter_and_counts_the_columns(tmp_path, capsys, content, arguments, name, columns):
    path = tmp_path / "data.csv"
    path.write_text(content, encoding="utf-8")
    status, stdout, stderr = call(capsys, "sniff", path, *arguments)
    assert (status, stderr) == (0, "")
    assert stdout.splitlines() == [f"delimiter: {name}", f"columns: {columns}"]
    status, stdout, _ = call(capsys, "sniff", "--json", path, *arguments)
    assert json.loads(stdout) == {
        "file": str(path), "delimiter": cli.CHARACTER_BY_NAME[name], "delimiter_name": name, "columns": columns,
    }


def test_sniff_sample_stops_at_the_last_line_break_of_its_head(tmp_path):
    path = tmp_path / "data.csv"
    head = "a;b\n" * ((cli.SAMPLE_BYTES - 10) // 4)
    path.write_bytes(head.encode() + b"x" * 100 + b"\xe2\x82")  # the sample's end falls in a partial line
    sample = cli.read_sample(str(path))
    assert sample == head.encode()
    path.write_bytes(b"a;b\n\xff")  # shorter than the sample: all of it, as bytes
    assert cli.read_sample(str(path)) == b"a;b\n\xff"


# ---- repair, many files ----


@pytest.fixture
def batch(tmp_path):
    """Two good inputs (one in a subfolder) and one that does not exist."""
    (tmp_path / "sub").mkdir()
    first, second = tmp_path / "first.csv", tmp_path / "sub" / "second.csv"
    first.write_text(DAMAGED, encoding="utf-8")
    second.write_text("x|y|z\n1|2\n3|4|5|6\n7|8|9\n", encoding="utf-8")
    return [first, tmp_path / "missing.csv", second]


def test_batch_repairs_every_file_in_worker_threads_and_reports_the_missing_one(tmp_path, batch):
    out, quarantine = tmp_path / "out", tmp_path / "q"
    result = run("repair", *batch, "--out-dir", out, "--quarantine-dir", quarantine, "-j", "3", "--no-merge")
    assert result.returncode == 1
    # The error is one line on stderr, and no progress bar is drawn on a pipe.
    assert result.stderr == f"csv-mendle: cannot repair {batch[1]}: {os.strerror(2)}\n"
    expected = {}
    for path in (batch[0], batch[2]):
        expected[path], output, rejected = mended(tmp_path, path, path.stem, merge_overflow=False)
        assert (out / f"{path.stem}.mended.csv").read_bytes() == output
        assert (quarantine / f"{path.stem}.quarantine.csv").read_bytes() == rejected
    assert not (out / "missing.mended.csv").exists()

    lines = result.stdout.splitlines()
    assert sorted(lines[:-1]) == sorted(
        f"{path} -> {out / (path.stem + '.mended.csv')}: {cli.summary_text(expected[path])}" for path in expected
    )
    rows_in = sum(summary["total_rows"] for summary in expected.values())
    assert lines[-1].startswith(f"2 of 3 files repaired into {out} (1 failed): {rows_in} rows in, ")



def test_batch_json_lists_the_files_in_input_order_with_a_total(tmp_path, capsys, batch):
    out = tmp_path / "out"
    expected = {path: mended(tmp_path, path, path.stem)[0] for path in (batch[0], batch[2])}
    status, stdout, stderr = call(capsys, "repair", *batch, "--out-dir", out, "-j", "1", "--json")
    assert status == 1
    assert stderr == f"csv-mendle: cannot repair {batch[1]}: {os.strerror(2)}\n"
    document = json.loads(stdout)
    assert [entry["input"] for entry in document["files"]] == [str(path) for path in batch]
    assert document["files"][1] == {"input": str(batch[1]), "error": os.strerror(2)}
    assert document["files"][2] == {
        "input": str(batch[2]), "output": str(out / "second.mended.csv"), "quarantine": None, **expected[batch[2]],
    }
    sums: dict[str, int] = {name: sum(summary[name] for summary in expected.values()) for name in cli.SUMMARY_COUNTS}
    assert document["total"] == {"files": 3, "succeeded": 2, "failed": 1, **sums}


def test_batch_draws_a_progress_bar_when_stderr_is_a_terminal(tmp_path, batch):
    pty = pytest.importorskip("pty")
    try:
        controller, terminal = pty.openpty()
    except OSError:
        pytest.skip("no pseudo-terminal")
    with os.fdopen(controller, "rb", buffering=0) as screen:
        process = subprocess.run(
            [sys.executable, "-m", "csv_mendle", "repair", batch[0], batch[2], "--out-dir", tmp_path / "out", "-j", "1"],
            env=ENVIRONMENT, stdout=subprocess.PIPE, stderr=terminal, timeout=60,
        )
        os.close(terminal)
        drawn = b""
        try:
            while chunk := screen.read(4096):
                drawn += chunk
        except OSError:  # the terminal's other end is closed: all is read
            pass
    assert process.returncode == 0
    assert b"] 0/2 files" in drawn and b"] 2/2 files" in drawn
    assert drawn.endswith(b"\r\x1b[K")  # the bar is erased at the end
    assert b"\r" not in process.stdout


# ---- errors ----


def test_the_default_output_keeps_the_inputs_extension(tmp_path, capsys):
    (tmp_path / "x.tsv").write_text("a\tb\n1\t2\n", encoding="utf-8")
    status, _, stderr = call(capsys, "repair", tmp_path / "x.tsv")
    assert (status, stderr) == (0, "")
    assert (tmp_path / "x.mended.tsv").read_text(encoding="utf-8") == "a\tb\n1\t2\n"


def test_a_utf16_export_is_text_when_its_encoding_says_so(tmp_path, capsys):
    # Excel's "Unicode text": UTF-16 with its mark, which holds NUL bytes.
    (tmp_path / "export.txt").write_bytes("id\tname\n1\tMüller\n".encode("utf-16"))
    status, stdout, stderr = call(capsys, "repair", tmp_path / "export.txt", "-o", tmp_path / "out.csv",
                                  "--encoding", "auto")
    assert (status, stderr) == (0, "")
    assert "read as utf-16-le" in stdout
    assert (tmp_path / "out.csv").read_text(encoding="utf-8") == "id\tname\n1\tMüller\n"
    status, _, stderr = call(capsys, "repair", tmp_path / "export.txt", "-o", tmp_path / "out.csv")
    assert status == 1 and "NUL byte" in stderr


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["repair", "missing.csv"], f"cannot repair missing.csv: {os.strerror(2)}"),
        (["repair", "folder"], f"cannot repair folder: {os.strerror(21)}"),
        (["check", "missing.csv"], f"missing.csv: {os.strerror(2)}"),
        (["sniff", "missing.csv"], f"missing.csv: {os.strerror(2)}"),
        (["sniff", "folder"], f"folder: {os.strerror(21)}"),
        (["repair", "a\udcff.csv"], f"cannot repair a\\udcff.csv: {os.strerror(2)}"),  # printed with escapes
        # The file that failed is named, and an existing output stays as it was.
        (["repair", "data.csv", "-o", "nowhere/x.csv"], f"cannot repair data.csv: nowhere/x.csv: {os.strerror(2)}"),
        (["repair", "data.csv", "-q", "nowhere/q.csv"], f"cannot repair data.csv: nowhere/q.csv: {os.strerror(2)}"),
        (["repair", "data.csv", "-o", "folder"], f"cannot repair data.csv: folder: {os.strerror(21)}"),
        (["repair", "data.csv", "--encoding", "utf-7"], "cannot repair data.csv: unknown encoding: utf-7"),
    ],
)
def test_errors_are_one_line_on_stderr_with_status_1_and_leave_the_files_as_they_were(
    tmp_path, monkeypatch, capsys, arguments, message
):
    (tmp_path / "folder").mkdir()
    (tmp_path / "data.csv").write_text(CLEAN, encoding="utf-8")
    (tmp_path / "data.mended.csv").write_text("old\n", encoding="utf-8")
    before = listing(tmp_path)
    monkeypatch.chdir(tmp_path)
    status, stdout, stderr = call(capsys, *arguments)
    assert (status, stdout) == (1, "")
    assert len(stderr.splitlines()) == 1
    assert stderr.startswith(f"csv-mendle: {message}")
    assert listing(tmp_path) == before  # no temporary left behind
    assert (tmp_path / "data.mended.csv").read_text(encoding="utf-8") == "old\n"


def test_an_error_in_a_subprocess_is_one_line_without_a_traceback(tmp_path):
    result = run("check", "missing.csv", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"csv-mendle: missing.csv: {os.strerror(2)}\n"


@pytest.mark.parametrize(
    "arguments, complaint",
    [
        ([], "the following arguments are required: COMMAND"),
        (["repair", "data.csv", "other.csv"], "several inputs need --out-dir DIR"),
        (["repair", "data.csv", "-o", "x.csv", "--out-dir", "out"], "with --out-dir use --quarantine-dir"),
        (["repair", "data.csv", "--quarantine-dir", "q"], "--quarantine-dir goes with --out-dir"),
        (["repair", "data.csv", "-o", "x.csv", "-q", "./x.csv"], "the output and the quarantine file are the same file"),
        (["repair", "data.csv", "sub/data.csv", "--out-dir", "out"], "would both be written to"),
        (["repair", "data.csv", "data.mended.csv", "--out-dir", "."], "would overwrite the input data.mended.csv"),
        (["repair", "data.csv", "-d", "ab"], "argument -d/--delimiter: expected one ASCII character"),
        (["repair", "data.csv", "-d", "é"], "argument -d/--delimiter: expected one ASCII character"),
        (["check", "data.csv", "--quote-char", ""], "argument --quote-char: expected one ASCII character"),
        (["check", "data.csv", "-d", "|", "--quote-char", "pipe"], "the delimiter and the quote character are both"),
        (["check", "data.csv", "--escape-char", ",", "-d", ","], "is also the delimiter or the quote character"),
        (["check", "data.csv", "--crlf"], "unrecognized arguments: --crlf"),
        (["check", "data.csv", "-n", "-1"], "argument -n/--expected-columns: expected a whole number of at least 0"),
        (["repair", "data.csv", "--out-dir", "out", "-j", "0"], "argument -j/--jobs: expected a whole number of at least 1"),
    ],
)
def test_usage_errors_exit_2_and_touch_nothing(tmp_path, monkeypatch, capsys, arguments, complaint):
    (tmp_path / "sub").mkdir()
    for name in ("data.csv", "other.csv", "data.mended.csv", "sub/data.csv"):
        (tmp_path / name).write_text(CLEAN, encoding="utf-8")
    before = listing(tmp_path)
    monkeypatch.chdir(tmp_path)
    status, _, stderr = call(capsys, *arguments)
    assert status == 2
    assert stderr.startswith("usage: csv-mendle")
    assert complaint in stderr
    assert listing(tmp_path) == before


ENTRY_POINTS = [pytest.param([sys.executable, "-m", "csv_mendle"], id="python -m csv_mendle")]
_script = pathlib.Path(sys.executable).with_name("csv-mendle")
if _script.exists():  # an installed wheel puts its console script next to the interpreter
    ENTRY_POINTS.append(pytest.param([str(_script)], id="csv-mendle"))


@pytest.mark.parametrize("entry_point", ENTRY_POINTS)
def test_entry_points_pass_on_the_exit_status(tmp_path, entry_point):
    version = subprocess.run([*entry_point, "--version"], env=ENVIRONMENT, capture_output=True, text=True, timeout=60)
    assert (version.returncode, version.stdout) == (0, f"csv-mendle {csv_mendle.__version__}\n")
    (tmp_path / "data.csv").write_text(DAMAGED, encoding="utf-8")
    for arguments, status in [(["--strict"], 1), (["-n", "x"], 2)]:
        result = subprocess.run(
            [*entry_point, "check", "data.csv", *arguments], cwd=tmp_path, env=ENVIRONMENT, capture_output=True
        )
        assert result.returncode == status
