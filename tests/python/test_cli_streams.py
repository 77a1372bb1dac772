"""The command line at the edges of the process: standard input and output,
closed pipes, signals, temporaries and permission bits, input that is not
text.  Each case runs the real command in a subprocess."""

import json
import os
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

from test_cli import DAMAGED, ENVIRONMENT, call, listing, mended

COMMAND = [sys.executable, "-m", "csv_mendle"]


def start(*arguments, cwd, **options):
    return subprocess.Popen([*COMMAND, *map(str, arguments)], cwd=cwd, env=ENVIRONMENT, **options)


@pytest.fixture
def damaged(tmp_path):
    path = tmp_path / "in.csv"
    path.write_text(DAMAGED, encoding="utf-8")
    return path


# ---- standard input and output ----


# Where the data and the report go: the report never goes where the data go.
@pytest.mark.parametrize(
    "arguments, stdin, data_on, report_on, report",
    [
        (["repair", "-"], "in.csv", "stdout", "stderr", "standard input: "),
        (["repair", "in.csv", "-o", "-"], None, "stdout", "stderr", "in.csv: "),
        (["repair", "in.csv", "-o", "/dev/stdout"], None, "stdout", "stderr", "in.csv: "),
        (["repair", "-", "-o", "out.csv"], "in.csv", "out.csv", "stdout", "standard input: "),
        (["repair", "in.csv", "-o", "-", "--json"], None, "stdout", "stderr", "{"),
        (["check", "-"], "in.csv", None, "stdout", "standard input: "),
        (["sniff", "-"], "in.csv", None, "stdout", "delimiter: semicolon\ncolumns: 3\n"),
    ],
)
def test_dash_reads_stdin_and_writes_stdout_with_the_report_on_the_other_stream(
    tmp_path, damaged, arguments, stdin, data_on, report_on, report
):
    _, output, _ = mended(tmp_path, damaged, "x")
    with open(tmp_path / stdin if stdin else os.devnull, "rb") as source:
        result = subprocess.run(
            [*COMMAND, *arguments], cwd=tmp_path, env=ENVIRONMENT, stdin=source, capture_output=True, timeout=60
        )
    assert result.returncode == 0, result.stderr
    streams = {"stdout": result.stdout, "stderr": result.stderr}
    if data_on == "stdout":
        assert result.stdout == output
    elif data_on is not None:
        assert (tmp_path / data_on).read_bytes() == output
    assert streams[report_on].decode().startswith(report)
    if report == "{":
        assert json.loads(result.stderr)["output"] == "-"
    assert not [name for name in listing(tmp_path) if name.startswith(".")]


@pytest.mark.parametrize(
    "output, mode, before",
    [("/dev/stdout", "wb", b""), ("-", "ab", b"kept\n")],
    ids=["a file the shell truncated", "a file the shell appends to"],
)
def test_standard_output_that_is_a_file_gets_the_data_alone_where_it_stands(tmp_path, damaged, output, mode, before):
    _, expected, _ = mended(tmp_path, damaged, "x")
    target = tmp_path / "target.csv"
    target.write_bytes(before)
    with open(target, mode) as stdout:
        result = subprocess.run(
            [*COMMAND, "repair", damaged, "-o", output], env=ENVIRONMENT, stdout=stdout, stderr=subprocess.PIPE,
            timeout=60,
        )
    assert result.returncode == 0, result.stderr
    assert target.read_bytes() == before + expected
    assert result.stderr.startswith(f"{damaged}: ".encode())


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    """A few megabytes: more than a pipe holds, however it is read."""
    path = tmp_path_factory.mktemp("long") / "long.csv"
    path.write_bytes(b"id,name,note\n" + b"".join(b'%d,"said "hi" there,x\n' % i for i in range(200_000)))
    return path


@pytest.mark.parametrize(
    "arguments, lines_read",
    [
        (["repair", "{long}", "-o", "-"], 3),  # | head -3
        (["repair", "{long}", "-o", "-"], 0),  # | true
        (["repair", "-", "-o", "-"], 3),
        (["check", "{long}", "--json"], 0),
    ],
)
def test_a_closed_pipe_ends_the_command_quietly(tmp_path, long_file, arguments, lines_read):
    arguments = [argument.format(long=long_file) for argument in arguments]
    with open(long_file, "rb") as stdin, start(
        *arguments, cwd=tmp_path, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    ) as process:
        assert process.stdout is not None and process.stderr is not None
        for _ in range(lines_read):
            process.stdout.readline()
        process.stdout.close()
        stderr = process.stderr.read()
        status = process.wait(timeout=60)
    assert stderr == b""
    assert status == 128 + signal.SIGPIPE
    assert listing(tmp_path) == []


@pytest.mark.parametrize(
    "arguments, closed, message",
    [
        (["repair", "in.csv", "-o", "-"], ">&-", "cannot repair in.csv: standard output: "),
        (["repair", "-", "-o", "out.csv"], "<&-", "cannot repair standard input: "),
        (["sniff", "-"], "<&-", "standard input: "),
    ],
)
def test_a_closed_standard_stream_is_an_error_naming_it(tmp_path, damaged, arguments, closed, message):
    result = subprocess.run(
        ["sh", "-c", f'exec "$@" {closed}', "sh", *COMMAND, *arguments], cwd=tmp_path, env=ENVIRONMENT,
        stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60,
    )
    assert result.returncode == 1
    assert result.stderr == f"csv-mendle: {message}{os.strerror(9)}\n"
    assert listing(tmp_path) == ["in.csv"]


# ---- files in place ----


def test_files_appear_complete_with_the_mode_of_a_plain_create(tmp_path, damaged):
    _, output, quarantine = mended(tmp_path, damaged, "x", merge_overflow=False)
    (tmp_path / "kept.csv").write_bytes(b"old\n")
    (tmp_path / "kept.csv").chmod(0o604)
    (tmp_path / "link.csv").symlink_to("kept.csv")
    for arguments, written, mode in [
        (["-o", "new.csv", "-q", "q.csv"], ["new.csv", "q.csv"], 0o640),  # 0666 less the umask
        (["-o", "kept.csv"], ["kept.csv"], 0o604),  # an existing file keeps its mode
        (["-o", "link.csv"], ["kept.csv"], 0o604),  # and is replaced through a link
    ]:
        result = subprocess.run(
            [*COMMAND, "repair", damaged, "--no-merge", *arguments], cwd=tmp_path, env=ENVIRONMENT, umask=0o027,
            capture_output=True, text=True, timeout=60,
        )
        assert result.returncode == 0, result.stderr
        for name, content in zip(written, [output, quarantine]):
            assert (tmp_path / name).read_bytes() == content
            assert stat.S_IMODE((tmp_path / name).stat().st_mode) == mode
    assert (tmp_path / "link.csv").is_symlink()
    assert not [name for name in listing(tmp_path) if name.startswith(".")]


def test_a_pipe_named_as_the_output_is_written_in_place(tmp_path, capsys, damaged):
    _, output, _ = mended(tmp_path, damaged, "x")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received: list[bytes] = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    status, _, stderr = call(capsys, "repair", damaged, "-o", fifo)
    reader.join(timeout=60)
    assert (status, stderr) == (0, "")
    assert received == [output]
    assert stat.S_ISFIFO(fifo.stat().st_mode)


# ---- signals ----


@pytest.fixture(scope="module")
def large_file(tmp_path_factory):
    """120 MB of short rows, each with a stray quote and a missing field: a
    repair of about 2.5 s here (0.5 s per 2 million rows), written in 0.1 s."""
    path = tmp_path_factory.mktemp("large") / "large.csv"
    block = b'1,"a "b" c"\n' * 100_000
    with open(path, "wb") as stream:
        stream.write(b"id,text,more\n" + b"a,b,c\n" * 5)
        for _ in range(100):
            stream.write(block)
    return path


@pytest.mark.parametrize("signum, status, said", [(signal.SIGTERM, 143, "terminated"), (signal.SIGINT, 130, "interrupted")])
def test_a_signal_stops_a_large_repair_at_once_and_leaves_no_file(tmp_path, large_file, signum, status, said):
    process = start(
        "repair", large_file, "-o", "out.csv", "-q", "q.csv", cwd=tmp_path,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    deadline = time.monotonic() + 30
    while not [name for name in listing(tmp_path) if name.startswith(".out.csv.")]:
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    time.sleep(0.3)  # into the repair itself
    sent = time.monotonic()
    process.send_signal(signum)
    stdout, stderr = process.communicate(timeout=30)
    assert time.monotonic() - sent < 1
    assert process.returncode == status, stderr
    assert (stdout, stderr) == ("", f"csv-mendle: {said}\n")
    assert listing(tmp_path) == []


# ---- input that is not text ----


@pytest.mark.parametrize(
    "head, named",
    [
        (b"PK\x03\x04\x14\x00\x06\x00", "zip archive"),
        (b"\x1f\x8b\x08\x00\x00\x00\x00\x00", "gzip"),
        (b"BZh91AY&SY", "bzip2"),
        (b"\xfd7zXZ\x00\x00\x04", "xz"),
        (b"\x28\xb5\x2f\xfd\x24\x00", "zstd"),
        (b"%PDF-1.7\n", "PDF"),
        (b"a,b\n1,2\n" * 100 + b"3,\x00\n", "NUL byte at offset 802"),
        ("a,b\n1,2\n".encode("utf-16"), "NUL byte at offset 3"),
    ],
    ids=["zip", "gzip", "bzip2", "xz", "zstd", "pdf", "nul", "utf-16"],
)
def test_input_that_is_not_text_is_refused_before_anything_is_written(tmp_path, capsys, head, named):
    data = tmp_path / "data.csv"
    data.write_bytes(head + b"\n1,2\n" * 10)
    for arguments, name in [
        (["repair", data, "-q", tmp_path / "q.csv"], f"cannot repair {data}"),
        (["check", data], str(data)),
        (["sniff", data], str(data)),
    ]:
        status, stdout, stderr = call(capsys, *arguments)
        assert (status, stdout) == (1, "")
        assert stderr.startswith(f"csv-mendle: {name}: ")
        assert named in stderr and len(stderr.splitlines()) == 1
    with open(data, "rb") as stdin:
        result = subprocess.run([*COMMAND, "repair", "-"], stdin=stdin, env=ENVIRONMENT, capture_output=True, timeout=60)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode().startswith("csv-mendle: cannot repair standard input: ")
    assert named in result.stderr.decode()
    assert listing(tmp_path) == ["data.csv"]


# ---- the account's warning ----


@pytest.mark.parametrize(
    "content, warning",
    [
        ('a,b\n1,2\n3,"open\n' + "x\n" * 4, "the quote opened on line 3 is never closed; it took 5 line breaks"),
        ('a,b\n1,2\n3,"open\nx\nx\n', None),  # three line breaks: no warning
    ],
    ids=["five line breaks", "three line breaks"],
)
def test_a_quote_left_open_over_many_lines_is_warned_about(tmp_path, capsys, content, warning):
    (tmp_path / "data.csv").write_text(content, encoding="utf-8")
    for command in ("repair", "check"):
        status, stdout, stderr = call(capsys, command, tmp_path / "data.csv")
        assert status == 0
        assert "quote never closed: opened on line 3" in stdout
        assert stderr == ("" if warning is None else f"csv-mendle: warning: {tmp_path / 'data.csv'}: {warning} into one field\n")
