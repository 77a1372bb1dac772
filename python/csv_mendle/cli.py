"""The command line: repair, sniff and check CSV files.

    csv-mendle repair INPUT [-o OUTPUT] [-q QUARANTINE] [options] [--json]
    csv-mendle repair FILE... --out-dir DIR [--quarantine-dir DIR] [-j N] [options] [--json]
    csv-mendle sniff FILE [--quote-char Q] [--json]
    csv-mendle check FILE [--strict] [options] [--json]

`-` as the input reads standard input; `-o -` (or `-o /dev/stdout`) writes the
repaired rows to standard output, and the report then goes to stderr.  Input
compressed with gzip, bzip2, xz or zstd is decompressed, whatever its name.  Files
are written under a hidden temporary name beside their final one and renamed
into place when complete: a failure or a signal leaves no partial file.

Exit status: 0 on success; 1 after an error (reported as one line on stderr),
after a batch in which any file failed, and for `check --strict` when a
repair would change a value; 2 for a usage error; 130 and 143 after SIGINT
and SIGTERM; 141 when the reader of standard output went away.
"""

import argparse
import itertools
import json
import os
import signal
import stat
import sys
import tempfile
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from pathlib import Path
from types import FrameType
from typing import Any, Literal, NamedTuple, NoReturn, TextIO, TypedDict

from . import RepairResult, __version__, repair, sniff_dialect
from ._api import DELIMITER_NAMES as NAMED_DELIMITERS

PROG = "csv-mendle"
STDIO = "-"
# How `-` is named in messages and in the text report.
STDIN_NAME = "standard input"
STDOUT_NAME = "standard output"
# The descriptors themselves: sys.stdin and sys.stdout are None when the
# command was started with them closed.
STDIN_FD, STDOUT_FD = 0, 1
# `sniff` looks at the head of a file only: sniffing weighs the first rows.
# The same head tells text from the formats that are not text.
SAMPLE_BYTES = 64 * 1024
COPY_CHUNK = 1 << 20
# How long the main thread waits on the workers at a time: a signal is
# handled in the main thread only, between two of these waits at the latest.
WAIT_SECONDS = 0.1
# A quote left open swallows the rest of the file into one field; past this
# many line breaks taken in, that is worth a warning.
ABSORBED_LINES_WARNING = 3
DELIMITER_NAMES = {char: name for name, char in NAMED_DELIMITERS.items()}
# A tab is also typed as backslash-t, which a shell passes on as it stands.
CHARACTER_BY_NAME = NAMED_DELIMITERS | {"\\t": "\t"}
CountName = Literal["total_rows", "mendled_rows", "repaired_rows", "quarantined_rows"]
SUMMARY_COUNTS: tuple[CountName, ...] = ("total_rows", "mendled_rows", "repaired_rows", "quarantined_rows")

# The leading bytes of formats that are often handed over as "the CSV file",
# and what to do instead.
SIGNATURES: tuple[tuple[bytes, str], ...] = (
    (b"PK\x03\x04", "a zip archive (an .xlsx workbook is one), not CSV text; export the sheet as CSV"),
    (b"%PDF-", "a PDF document, not CSV text; export its tables as CSV"),
)
# The compressed formats the library decompresses, by their leading bytes
# (bzip2's "BZh" is followed by the block size), and the names they go by.
COMPRESSIONS: tuple[tuple[bytes, str], ...] = (
    (b"\x1f\x8b", "gzip"),
    *((b"BZh" + digit.encode(), "bzip2") for digit in "123456789"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
)
COMPRESSED_SUFFIXES = (".gz", ".bz2", ".xz", ".zst")

REPAIR_EXAMPLES = """examples:
  csv-mendle repair export.csv                   writes export.mended.csv beside it
  csv-mendle repair data.csv -o clean.csv -q rejected.csv
  csv-mendle repair excel.csv --encoding auto --skip-rows 1 --header
                                                 an Excel export: cp1252, a sep=; line, a header
  csv-mendle repair report.txt --encoding utf-16 -d tab --crlf --bom
                                                 Excel's "Unicode text" back to a CSV for Excel
  csv-mendle repair quoted.csv --sniff-quote --output-quote-char '"'
                                                 ' or " quoting, written with "
  csv-mendle repair logs.csv --skip-initial-space --escape-char '\\'
                                                 a, "b, c" and \\" escapes
  csv-mendle repair big.csv.gz                   gzip, bzip2, xz or zstd: writes big.mended.csv
  unzip -p export.zip data.csv | csv-mendle repair - -o - > data.mended.csv
  csv-mendle repair raw/*.csv --out-dir clean --quarantine-dir rejected
"""

# The account's kinds as the report names them.  A kind the library adds
# later is named by its key.
CHANGE_LABELS = {
    "quotes_repaired": "quotes repaired",
    "padded": "padded with empty fields",
    "merged": "surplus fields merged into the last",
    "quarantined_short": "quarantined, too few fields",
    "quarantined_long": "quarantined, too many fields",
    "blank_lines": "blank lines",
    "invalid_utf8": "invalid UTF-8 replaced",
    "unclosed_quote": "quote never closed",
    "bom_removed": "byte-order mark removed",
    "skipped_lines": "lines skipped before the table",
    "comment_lines": "comment lines dropped",
}
# A byte-order mark is no part of the first field: removing it changes the
# file's bytes but not one value that a reader of the rows sees, so it alone
# does not make `check --strict` fail.  Every other kind changes, adds or
# drops values.
# Lines dropped by --skip-rows and --comment were dropped as asked: they are
# reported, but are no repair either.
VALUE_PRESERVING_CHANGES = frozenset({"bom_removed", "skipped_lines", "comment_lines"})


class OutputOptions(TypedDict, total=False):
    """How `repair` writes, as `csv-mendle repair` sets it."""

    line_terminator: str
    write_bom: bool
    output_delimiter: str | None
    output_quote_char: str | None


class RepairOptions(OutputOptions):
    """The keyword options of `repair`, as the command line sets them."""

    delimiter: str | None
    quote_char: str | None
    fill_ragged_rows: bool
    merge_overflow: bool
    expected_columns: int | None
    repair_quotes: bool
    encoding: str
    skip_rows: int
    comment: str | None
    header: bool
    skip_initial_space: bool
    escape_char: str | None


class UsageError(Exception):
    """A combination of arguments that argparse cannot rule out by itself."""


class CommandError(Exception):
    """A failure of the command, reported as one line on stderr with exit status 1."""


class NotText(Exception):
    """The input is a binary format, not CSV text; the message says which."""


class Stopped(BaseException):
    """SIGINT or SIGTERM arrived; raised in the main thread by the handler."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


# ---- argument types ----


def character(value: str) -> str:
    """One ASCII character, or a delimiter's name (comma, semicolon, tab, ..., \\t).

    The library would silently use only the first byte of a longer text, and
    the first byte of a non-ASCII character would split inside UTF-8 sequences.
    """
    char = CHARACTER_BY_NAME.get(value.lower(), value)
    if len(char) != 1 or not char.isascii() or char in "\r\n":
        raise argparse.ArgumentTypeError(
            f"expected one ASCII character or one of {', '.join(CHARACTER_BY_NAME)}, got {value!r}"
        )
    return char


def count(minimum: int) -> Callable[[str], int]:
    def parse(value: str) -> int:
        try:
            number = int(value)
        except ValueError:
            number = minimum - 1
        if number < minimum:
            raise argparse.ArgumentTypeError(f"expected a whole number of at least {minimum}, got {value!r}")
        return number

    return parse


# ---- the parser ----


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Repairs damaged CSV files: stray quotes, ragged rows, byte-order marks, unknown delimiters.",
        epilog="Exit status: 0 on success, 1 on an error (or a failed file, or check --strict "
        "finding values to change), 2 on a usage error, 130/143 when interrupted or terminated.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add_quote_char(container: argparse.ArgumentParser | argparse._ArgumentGroup) -> None:
        container.add_argument(
            "--quote-char", type=character, default='"', metavar="Q", help="quote character (default: %(default)s)"
        )

    options = argparse.ArgumentParser(add_help=False)
    group = options.add_argument_group("repair options")
    group.add_argument(
        "-d", "--delimiter", type=character, metavar="DELIM",
        help=f"field delimiter: one character, or {', '.join(NAMED_DELIMITERS)} (default: sniffed)",
    )
    quotes = group.add_mutually_exclusive_group()
    add_quote_char(quotes)
    quotes.add_argument(
        "--sniff-quote", dest="quote_char", action="store_const", const=None,
        help="choose the quote character between \" and ' from the file, as the delimiter is",
    )
    group.add_argument(
        "-n", "--expected-columns", type=count(0), metavar="N",
        help="fields per row (default: the most frequent row width; 0: no width check)",
    )
    group.add_argument(
        "--no-fill", dest="fill_ragged_rows", action="store_false",
        help="quarantine rows with too few fields instead of padding them",
    )
    group.add_argument(
        "--no-merge", dest="merge_overflow", action="store_false",
        help="quarantine rows with too many fields instead of merging the surplus into the last column",
    )
    group.add_argument(
        "--encoding", default="utf-8", metavar="NAME",
        help="the input's encoding: utf-8 (default), cp1252, latin-1, utf-16, utf-16-le, utf-16-be, "
        "utf-32, utf-32-le, utf-32-be, or auto (a byte-order mark, else UTF-8 when valid, else cp1252); "
        "the output is UTF-8",
    )
    group.add_argument(
        "--skip-rows", type=count(0), default=0, metavar="N",
        help="drop the first N lines before the table (a title, an export note, Excel's sep= line)",
    )
    group.add_argument(
        "--comment", type=character, metavar="C", help="drop every line that starts with C (e.g. #)"
    )
    group.add_argument(
        "--header", action="store_true",
        help="the first row (after --skip-rows and comments) is a header: it sets the width "
        "(unless -n is given) and is kept as it is",
    )
    group.add_argument(
        "--skip-initial-space", action="store_true",
        help="blanks after a delimiter are no part of the field (a, \"b, c\" has two fields)",
    )
    group.add_argument(
        "--escape-char", type=character, metavar="C",
        help="a character that makes the next one literal, inside quotes and out (e.g. \\)",
    )
    group.add_argument(
        "--no-repair-quotes", dest="repair_quotes", action="store_false",
        help="take every undoubled quote inside a quoted field as its closing quote, instead of judging stray quotes",
    )
    json_output = argparse.ArgumentParser(add_help=False)
    json_output.add_argument(
        "--json", action="store_true", help="print the result as JSON (on stderr when the data go to stdout)"
    )

    repair_parser = commands.add_parser(
        "repair", parents=[options, json_output], help="repair one file, or many into a folder",
        description="Repair one CSV file (the output goes to NAME.mended.csv next to it unless -o says "
        "otherwise; from standard input it goes to standard output), or many files into --out-dir, "
        "in parallel threads.",
        epilog=REPAIR_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    written = repair_parser.add_argument_group("output options")
    written.add_argument("--crlf", action="store_true", help="end the output's lines with CR LF (default: LF)")
    written.add_argument("--bom", action="store_true", help="start the output with a UTF-8 byte-order mark (for Excel)")
    written.add_argument(
        "--output-delimiter", type=character, metavar="DELIM",
        help="write this delimiter instead of the one read (a name as for -d)",
    )
    written.add_argument(
        "--output-quote-char", type=character, metavar="Q", help="quote with this character instead of the one read",
    )
    repair_parser.add_argument(
        "inputs", nargs="+", metavar="INPUT", help="the CSV file(s) to repair; - for standard input"
    )
    repair_parser.add_argument(
        "-o", "--output", metavar="OUTPUT", help="where the repaired file goes; - for standard output (one input only)"
    )
    repair_parser.add_argument(
        "-q", "--quarantine", metavar="QUARANTINE",
        help="where the rows that are set aside go, as a CSV file (one input only; default: nowhere)",
    )
    repair_parser.add_argument("--out-dir", metavar="DIR", help="repair every INPUT into DIR/NAME.mended.csv")
    repair_parser.add_argument(
        "--quarantine-dir", metavar="DIR", help="with --out-dir: write the rows set aside to DIR/NAME.quarantine.csv"
    )
    repair_parser.add_argument(
        "-j", "--jobs", type=count(1), metavar="N", help="files repaired at once with --out-dir (default: one per CPU)"
    )
    repair_parser.set_defaults(run=run_repair, command_parser=repair_parser)

    sniff_parser = commands.add_parser(
        "sniff", parents=[json_output], help="detect the delimiter and the column count",
        description="Print the detected delimiter of FILE and its inferred column count, "
        f"judged from its first {SAMPLE_BYTES // 1024} KiB.",
    )
    sniff_parser.add_argument("file", metavar="FILE", help="the CSV file; - for standard input")
    add_quote_char(sniff_parser)
    sniff_parser.set_defaults(run=run_sniff, command_parser=sniff_parser)

    check_parser = commands.add_parser(
        "check", parents=[options, json_output], help="report what a repair would do, writing nothing",
        description="Repair FILE without keeping the result and report what a repair would change.",
    )
    check_parser.add_argument("file", metavar="FILE", help="the CSV file; - for standard input")
    check_parser.add_argument(
        "--strict", action="store_true",
        help="exit with status 1 when a repair would change, add or drop any value (a removed byte-order mark "
        "changes none)",
    )
    check_parser.set_defaults(run=run_check, command_parser=check_parser)
    return parser


def repair_options(args: argparse.Namespace) -> RepairOptions:
    if args.delimiter is not None and args.delimiter == args.quote_char:
        raise UsageError(f"the delimiter and the quote character are both {args.delimiter!r}")
    if args.escape_char is not None and args.escape_char in (args.delimiter, args.quote_char):
        raise UsageError(f"the escape character {args.escape_char!r} is also the delimiter or the quote character")
    written: OutputOptions = {}
    if args.command == "repair":
        written = OutputOptions(
            line_terminator="\r\n" if args.crlf else "\n",
            write_bom=args.bom,
            output_delimiter=args.output_delimiter,
            output_quote_char=args.output_quote_char,
        )
    return RepairOptions(
        delimiter=args.delimiter,
        quote_char=args.quote_char,
        fill_ragged_rows=args.fill_ragged_rows,
        merge_overflow=args.merge_overflow,
        expected_columns=args.expected_columns,
        repair_quotes=args.repair_quotes,
        encoding=args.encoding,
        skip_rows=args.skip_rows,
        comment=args.comment,
        header=args.header,
        skip_initial_space=args.skip_initial_space,
        escape_char=args.escape_char,
        **written,
    )


# ---- reporting ----


def describe(error: BaseException) -> str:
    """One line for an error: the system's description, or the library's own text."""
    if isinstance(error, MemoryError):
        return "out of memory"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error).splitlines()[0] if str(error) else type(error).__name__


def delimiter_label(delimiter: str) -> str:
    return DELIMITER_NAMES.get(delimiter, repr(delimiter))


def summary_text(summary: Mapping[str, Any]) -> str:
    columns = summary["inferred_columns"]
    return (
        f"{summary['total_rows']} rows in, {summary['mendled_rows']} delivered "
        f"({summary['repaired_rows']} repaired), {summary['quarantined_rows']} quarantined; "
        f"delimiter {delimiter_label(summary['detected_delimiter'])}, "
        + (f"{columns} columns" if columns else "no width check")
        + (f"; quote {summary['quote_char']}" if summary.get("quote_char", '"') != '"' else "")
        + read_as_text(summary.get("compression"), summary.get("encoding", "utf-8"))
    )


def read_as_text(compression: str | None, encoding: str) -> str:
    """How the input was read, when that was not plain UTF-8: `; read gzip-compressed input as cp1252`."""
    text = f"; read {compression}-compressed input" if compression else ""
    if encoding != "utf-8":
        text += f" as {encoding}" if compression else f"; read as {encoding}"
    return text


def plural(number: int, noun: str) -> str:
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def kind_label(kind: str) -> str:
    return CHANGE_LABELS.get(kind, kind.replace("_", " "))


def change_text(kind: str, change: Mapping[str, int]) -> str:
    """One kind of the account: `padded with empty fields: 2 rows, first at line 5`."""
    label = kind_label(kind)
    if kind == "bom_removed":
        return label
    if kind == "unclosed_quote":
        taken = plural(change["absorbed_lines"], "line break")
        return f"{label}: opened on line {change['first_line']}, {taken} taken in"
    # Lines dropped before parsing are lines, not rows.
    unit = "line" if kind in ("skipped_lines", "comment_lines") else "row"
    text = f"{label}: {plural(change['rows'], unit)}, first at line {change['first_line']}"
    if "sequences" in change:
        text += f" ({plural(change['sequences'], 'sequence')})"
    return text


def value_changes(result: RepairResult) -> list[str]:
    """The kinds of the account that change, add or drop values."""
    return [kind for kind in result.changes if kind not in VALUE_PRESERVING_CHANGES]


def complain(message: str) -> None:
    """One line on stderr.  A path that is not valid UTF-8 (it holds surrogates)
    is shown with escapes rather than failing to print."""
    line = f"{PROG}: {message}".encode("utf-8", "backslashreplace").decode("utf-8")
    print(line, file=sys.stderr, flush=True)


def warn_about(name: str, result: RepairResult) -> None:
    """Warnings on stderr for what the account shows but a summary hides."""
    unclosed = result.changes.get("unclosed_quote")
    if unclosed is not None and unclosed["absorbed_lines"] > ABSORBED_LINES_WARNING:
        complain(
            f"warning: {name}: the quote opened on line {unclosed['first_line']} is never closed; "
            f"it took {unclosed['absorbed_lines']} line breaks into one field"
        )


def print_json(document: object, stream: TextIO) -> None:
    print(json.dumps(document, indent=2), file=stream, flush=True)


class ProgressBar:
    """A one-line bar on a terminal, redrawn in place; other lines are printed around it."""

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.done = 0
        self.stream = stream

    def draw(self) -> None:
        filled = self.WIDTH * self.done // self.total
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.WIDTH - filled)}] {self.done}/{self.total} files")
        self.stream.flush()

    def advance(self) -> None:
        self.done += 1
        self.draw()

    def clear(self) -> None:
        self.stream.write("\r\x1b[K")
        self.stream.flush()


# ---- files and streams ----


def creation_mode() -> int:
    """The permission bits of a plain create: 0666 less the umask."""
    # The umask can only be read by setting it; this runs in the main thread
    # before any worker starts.
    umask = os.umask(0o022)
    os.umask(umask)
    return 0o666 & ~umask


class Temporaries:
    """The temporary files of this command, all removed on a signal.

    Shared by the worker threads.  When a signal stops the command, the main
    thread removes them all, and after that no new one is made."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._paths: set[str] = set()
        self._closed = False
        self.mode = 0o644

    def open(self) -> None:
        """Starts a command: new files get the permission bits a plain create gives."""
        with self._lock:
            self._closed = False
        self.mode = creation_mode()

    def create(self, final: str) -> str:
        """A new, empty, hidden file beside `final`: in the same folder, so that
        the rename into place is atomic."""
        folder, base = os.path.split(final)
        with self._lock:
            if self._closed:
                raise InterruptedError("the command is stopping")
            descriptor, path = tempfile.mkstemp(".tmp", f".{base}.", folder)
            self._paths.add(path)
        os.close(descriptor)
        return path

    def commit(self, path: str, final: str, mode: int) -> None:
        # mkstemp makes 0600; the mode is set only now, as a read-only mode
        # would have kept the library from opening the file.
        os.chmod(path, mode)
        with self._lock:
            os.replace(path, final)
            self._paths.discard(path)

    def remove(self, path: str) -> None:
        with self._lock:
            self._paths.discard(path)
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass

    def remove_all(self) -> None:
        with self._lock:
            self._closed = True
            paths, self._paths = self._paths, set()
        for path in paths:
            try:
                os.unlink(path)
            except OSError:
                pass


TEMPORARIES = Temporaries()


class Destination:
    """A file the library writes, to appear under the name `final`.

    A regular file (or a new one) is written to a temporary beside it and
    renamed into place when complete; through a symbolic link, beside the
    file it points to.  A device or a pipe named by the user (`/dev/null`)
    is written in place: a rename would replace the device node itself."""

    def __init__(self, final: str) -> None:
        self.name = final
        self.target = os.path.realpath(final)
        try:
            existing: os.stat_result | None = os.stat(self.target)
        except FileNotFoundError:
            existing = None
        except OSError as error:
            raise type(error)(error.errno, error.strerror, final) from None
        self.temporary = existing is None or stat.S_ISREG(existing.st_mode)
        if not self.temporary:
            self.path = final
            return
        # An existing file keeps its permission bits, as a plain create would.
        self.mode = TEMPORARIES.mode if existing is None else stat.S_IMODE(existing.st_mode)
        try:
            self.path = TEMPORARIES.create(self.target)
        except OSError as error:
            raise type(error)(error.errno, error.strerror, final) from None

    def finish(self) -> None:
        """Called after the library's call, whatever its outcome."""

    def commit(self) -> None:
        if self.temporary:
            TEMPORARIES.commit(self.path, self.target, self.mode)
            self.temporary = False

    def discard(self) -> None:
        if self.temporary:
            TEMPORARIES.remove(self.path)


class Pipe:
    """A pipe of this process, one end given to the library by its /dev/fd
    name and the other served by a thread.

    Reopening a pipe that way never blocks, even without a partner, and
    leaves the process's own standard streams as they are: whatever they
    are (a pipe, a terminal, a file the shell opened to append), the thread
    reads or writes them where they stand, and the data stream through."""

    def __init__(self, name: str, library_end: int, own_end: int, serve: Callable[[int], None]) -> None:
        self.name = name
        self.path = f"/dev/fd/{library_end}"
        self._library_end = library_end
        self._error: OSError | None = None

        def run() -> None:
            try:
                serve(own_end)
            except OSError as error:
                self._error = error
            finally:
                os.close(own_end)

        self._thread = threading.Thread(target=run, name=f"{PROG} {name}", daemon=True)
        self._thread.start()

    def finish(self) -> None:
        """Closes the library's end (the library opened a descriptor of its
        own, now closed), waits for the thread and raises what it met."""
        self.discard()
        self._thread.join()
        if self._error is not None:
            raise self._error

    def commit(self) -> None:
        pass

    def discard(self) -> None:
        if self._library_end >= 0:
            os.close(self._library_end)
            self._library_end = -1


def write_all(descriptor: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view):]


def standard_output() -> Pipe:
    """Standard output as a file name for the library."""
    try:
        os.fstat(STDOUT_FD)  # closed, its number would go to the new pipe
    except OSError as error:
        raise type(error)(error.errno, error.strerror, STDOUT_NAME) from None

    def copy(read_end: int) -> None:
        while chunk := os.read(read_end, COPY_CHUNK):
            write_all(STDOUT_FD, chunk)

    read_end, write_end = os.pipe()
    return Pipe(STDOUT_NAME, write_end, read_end, copy)


def read_stdin(size: int) -> bytes:
    """Up to `size` bytes of standard input, fewer only at its end.  Read from
    the descriptor: nothing is left behind in a buffer of sys.stdin."""
    parts: list[bytes] = []
    try:
        while size > 0 and (part := os.read(STDIN_FD, size)):
            parts.append(part)
            size -= len(part)
    except OSError as error:
        raise type(error)(error.errno, error.strerror, STDIN_NAME) from None
    return b"".join(parts)


def standard_input(encoding: str) -> Pipe:
    """Standard input as a file name for the library, refused when its head is not text."""
    head = read_stdin(SAMPLE_BYTES)
    refuse_binary(head, encoding)

    def feed(write_end: int) -> None:
        try:
            write_all(write_end, head)
            while chunk := os.read(STDIN_FD, COPY_CHUNK):
                write_all(write_end, chunk)
        except BrokenPipeError:
            pass  # the library stopped reading: its own error says why

    read_end, write_end = os.pipe()
    return Pipe(STDIN_NAME, read_end, write_end, feed)


# Byte-order marks of the encodings whose text holds NUL bytes.
WIDE_MARKS = (b"\xff\xfe", b"\xfe\xff", b"\x00\x00\xfe\xff")


def is_wide(encoding: str, head: bytes) -> bool:
    """Whether text in `encoding` (as `head` shows it, for auto) is UTF-16 or UTF-32."""
    name = encoding.lower().replace("_", "").replace("-", "")
    if name == "auto":
        return head.startswith(WIDE_MARKS)
    return name.startswith(("utf16", "utf32"))


def compression_of(head: bytes) -> str | None:
    """The compressed format whose leading bytes `head` starts with, or None."""
    return next((name for signature, name in COMPRESSIONS if head.startswith(signature)), None)


def decompressed(compression: str, pieces: Iterable[bytes], size: int, whole: bool) -> bytes:
    """Up to `size` bytes of what the compressed `pieces` decompress to (the
    first stream of them).  Raises ValueError, in the library's words, for
    corrupt data, and for data that end before the stream or `size` bytes
    when `pieces` are `whole`, all there is."""
    decoder = decompressor(compression)
    out = bytearray()
    try:
        for piece in pieces:
            out += decoder.decompress(piece, size - len(out))
            if len(out) >= size or decoder.eof:
                return bytes(out[:size])
    except Exception as error:  # zlib.error, OSError, lzma.LZMAError, ZstdError
        raise ValueError(f"truncated or corrupt {compression} data") from error
    if whole:
        raise ValueError(f"truncated or corrupt {compression} data")
    return bytes(out)


def decompressor(compression: str) -> Any:
    """A decompressor of the standard library for one stream, imported only now."""
    if compression == "gzip":
        import zlib

        return zlib.decompressobj(wbits=31)
    if compression == "bzip2":
        import bz2

        return bz2.BZ2Decompressor()
    if compression == "xz":
        import lzma

        return lzma.LZMADecompressor(lzma.FORMAT_XZ)
    from compression import zstd

    return zstd.ZstdDecompressor()


def refuse_binary(head: bytes, encoding: str = "utf-8") -> None:
    """Raises NotText when the head of an input shows a format that is not CSV
    text; a compressed head is judged by what it decompresses to (when it
    does not, the library says why)."""
    compression = compression_of(head)
    if compression is not None:
        try:
            head = decompressed(compression, [head], len(head), whole=False)
        except ValueError:
            return
    for signature, what in SIGNATURES:
        if head.startswith(signature):
            raise NotText(f"this is {what}")
    if is_wide(encoding, head):
        return  # UTF-16 and UTF-32 text holds NUL bytes
    nul = head.find(b"\0")
    if nul >= 0:
        raise NotText(f"a NUL byte at offset {nul}: this is binary data or UTF-16 text, not CSV text in UTF-8")


def cut_sample(head: bytes, more: bool) -> bytes:
    """The sample for sniffing: `head`, cut after its last line break when the input goes on."""
    if more:
        cut = max(head.rfind(b"\n"), head.rfind(b"\r"))
        if cut >= 0:
            return head[: cut + 1]
    return head


def read_sample(path: str) -> bytes:
    """The sample to sniff: the head of the input, decompressed when it is compressed."""
    if path == STDIO:
        return sample_of(read_stdin)
    with open(path, "rb") as stream:
        return sample_of(stream.read)


def sample_of(read: Callable[[int], bytes]) -> bytes:
    head = read(SAMPLE_BYTES + 1)
    compression = compression_of(head)
    if compression is not None:
        pieces = itertools.chain([head], iter(lambda: read(COPY_CHUNK), b""))
        head = decompressed(compression, pieces, SAMPLE_BYTES + 1, whole=True)
    return cut_sample(head[:SAMPLE_BYTES], len(head) > SAMPLE_BYTES)


# ---- repair ----


class Job(NamedTuple):
    input: str
    output: str
    quarantine: str | None


class FileReport(NamedTuple):
    """The outcome of one file."""

    job: Job
    result: RepairResult | None = None
    error: str | None = None

    @property
    def name(self) -> str:
        return STDIN_NAME if self.job.input == STDIO else self.job.input

    def to_json(self) -> dict[str, object]:
        paths: dict[str, object] = {"input": self.job.input}
        if self.result is None:
            return paths | {"error": self.error}
        return paths | {"output": self.job.output, "quarantine": self.job.quarantine} | dict(self.result.to_dict())


def blamed(error: OSError, names: Mapping[str, str], input_name: str) -> str:
    """The error's text, after the name of the file it concerns unless that is the input."""
    name = input_name if error.filename is None else os.fsdecode(error.filename)
    name = names.get(name, name)
    return describe(error) if name == input_name else f"{name}: {describe(error)}"


def repair_one(job: Job, options: RepairOptions, stdin: Pipe | None = None) -> FileReport:
    """Repairs one file into temporaries and renames them into place; runs in
    a worker thread.  A closed standard output is no failure of the file:
    BrokenPipeError goes on to the main thread."""
    name = STDIN_NAME if job.input == STDIO else job.input
    names = {job.input: name}
    written: list[Destination | Pipe] = []
    try:
        if stdin is None:
            with open(job.input, "rb") as stream:
                refuse_binary(stream.read(SAMPLE_BYTES), options["encoding"])
            source = job.input
        else:
            source = stdin.path
            written.append(stdin)
        output = standard_output() if job.output == STDIO else Destination(job.output)
        written.append(output)
        quarantine = None if job.quarantine is None else Destination(job.quarantine)
        if quarantine is not None:
            written.append(quarantine)
        names |= {end.path: end.name for end in written}
        try:
            result = repair(source, output.path, quarantine=None if quarantine is None else quarantine.path, **options)
        finally:
            # A pipe's own failure (standard input unreadable) comes first:
            # the library then saw the data end early.
            for end in written:
                end.finish()
        for end in written:
            end.commit()
    except NotText as error:
        return FileReport(job, error=str(error))
    except BrokenPipeError:
        raise
    except OSError as error:
        return FileReport(job, error=blamed(error, names, name))
    except (MemoryError, LookupError, ValueError) as error:
        # LookupError: an unknown --encoding; ValueError: input that is no
        # whole number of its encoding's code units.
        return FileReport(job, error=describe(error))
    finally:
        for end in written:
            end.discard()
    return FileReport(job, result=result)


def wait_for(futures: Sequence[Future[FileReport]], done: Callable[[FileReport], None]) -> None:
    """Waits in the main thread, in short steps so that a signal is handled
    at once, and calls `done` as each future finishes."""
    pending = set(futures)
    while pending:
        finished, pending = wait(pending, timeout=WAIT_SECONDS, return_when=FIRST_COMPLETED)
        for future in finished:
            done(future.result())


def repair_all(
    jobs: list[Job], options: RepairOptions, workers: int, done: Callable[[FileReport], None],
    stdin: Pipe | None = None,
) -> None:
    """Repairs every job in worker threads, calling `done` in the main thread
    as each one finishes.  The library releases the interpreter lock while it
    reads, repairs and writes, so threads repair files in parallel."""
    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix=PROG)
    try:
        wait_for([pool.submit(repair_one, job, options, stdin) for job in jobs], done)
    except Stopped:
        raise  # not waiting for the workers: see `stop_now`
    except BaseException:
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown(wait=True)


def run_repair(args: argparse.Namespace) -> int:
    inputs: list[str] = args.inputs
    options = repair_options(args)
    if args.quarantine == STDIO:
        raise UsageError("the quarantine goes to a file: -q - is not supported")
    if args.out_dir is None:
        if len(inputs) > 1:
            raise UsageError("several inputs need --out-dir DIR")
        if args.quarantine_dir is not None:
            raise UsageError("--quarantine-dir goes with --out-dir; for one file use -q QUARANTINE")
        return repair_single(inputs[0], args.output, args.quarantine, options, args.json)
    if args.output is not None or args.quarantine is not None:
        raise UsageError("-o and -q name the files of one input; with --out-dir use --quarantine-dir")
    if STDIO in inputs:
        raise UsageError("standard input (-) is one input only: repair it without --out-dir")
    return repair_batch(inputs, args.out_dir, args.quarantine_dir, args.jobs, options, args.json)


def uncompressed(path: str) -> Path:
    """The input's name without a compression suffix: data.csv.gz is data.csv
    (the output is not compressed)."""
    source = Path(path)
    return source.with_suffix("") if source.suffix.lower() in COMPRESSED_SUFFIXES else source


def sibling(path: str, suffix: str, folder: str | None = None) -> str:
    """NAME + `suffix`, next to the input or in `folder`."""
    source = uncompressed(path)
    return str(Path(folder if folder is not None else source.parent, source.stem + suffix))


def mended_name(path: str, folder: str | None = None) -> str:
    """NAME.mended.EXT, keeping the input's extension (.csv when it has none)
    less a compression suffix: a .tsv stays a .tsv, data.csv.gz becomes
    data.mended.csv."""
    return sibling(path, ".mended" + (uncompressed(path).suffix or ".csv"), folder)


def is_stdout(path: str) -> bool:
    """`-`, or a name of the file that standard output already is (/dev/stdout)."""
    if path == STDIO:
        return True
    try:
        named, open_file = os.stat(path), os.fstat(STDOUT_FD)
    except OSError:
        return False
    return (named.st_dev, named.st_ino) == (open_file.st_dev, open_file.st_ino)


def repair_alone(job: Job, options: RepairOptions) -> FileReport:
    """Repairs one job in a worker thread, the main thread waiting for signals."""
    try:
        stdin = standard_input(options["encoding"]) if job.input == STDIO else None
    except (NotText, OSError) as error:
        return FileReport(job, error=describe(error))
    reports: list[FileReport] = []
    repair_all([job], options, 1, reports.append, stdin)
    return reports[0]


def repair_single(
    input_path: str, output: str | None, quarantine: str | None, options: RepairOptions, as_json: bool
) -> int:
    if output is None:
        output = STDIO if input_path == STDIO else mended_name(input_path)
    elif is_stdout(output):
        output = STDIO
    job = Job(input_path, output, quarantine)
    if quarantine is not None and output != STDIO and Path(quarantine).resolve() == Path(output).resolve():
        raise UsageError("the output and the quarantine file are the same file")
    # The report does not go where the data go.
    report_stream = sys.stderr if output == STDIO else sys.stdout
    report = repair_alone(job, options)
    if report.result is None:
        raise CommandError(f"cannot repair {report.name}: {report.error}")
    result = report.result
    warn_about(report.name, result)
    if as_json:
        print_json(report.to_json(), report_stream)
        return 0
    lines = [
        f"{report.name}: {summary_text(result.to_dict())}",
        f"  output:     {STDOUT_NAME if output == STDIO else output}",
    ]
    if quarantine is not None:
        lines.append(f"  quarantine: {quarantine}")
    elif result.quarantined_rows:
        lines.append(
            f"  quarantine: none ({result.quarantined_rows} rows set aside and dropped; keep them with -q FILE)"
        )
    lines += [f"  {change_text(kind, change)}" for kind, change in result.changes.items()]
    print("\n".join(lines), file=report_stream, flush=True)
    return 0


def repair_batch(
    inputs: list[str], out_dir: str, quarantine_dir: str | None, jobs: int | None, options: RepairOptions,
    as_json: bool,
) -> int:
    plan = [
        Job(
            path,
            mended_name(path, out_dir),
            None if quarantine_dir is None else sibling(path, ".quarantine.csv", quarantine_dir),
        )
        for path in inputs
    ]
    # Parallel workers must not write the same file, nor a file that another one reads.
    inputs_by_path = {Path(path).resolve(): path for path in inputs}
    written: dict[Path, str] = {}
    for job in plan:
        for target in filter(None, (job.output, job.quarantine)):
            key = Path(target).resolve()
            if key in inputs_by_path:
                raise UsageError(f"{target} would overwrite the input {inputs_by_path[key]}")
            if key in written:
                raise UsageError(f"{written[key]} and {job.input} would both be written to {target}")
            written[key] = job.input
    for folder in filter(None, (out_dir, quarantine_dir)):
        try:
            Path(folder).mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise CommandError(f"cannot create {folder}: {describe(error)}") from error

    workers = min(jobs or os.process_cpu_count() or 1, len(plan))
    progress = ProgressBar(len(plan), sys.stderr) if sys.stderr.isatty() else None
    reports: dict[Job, FileReport] = {}

    def done(report: FileReport) -> None:
        reports[report.job] = report
        if progress is not None:
            progress.clear()
        if report.result is None:
            complain(f"cannot repair {report.job.input}: {report.error}")
        else:
            warn_about(report.job.input, report.result)
            if not as_json:
                print(f"{report.job.input} -> {report.job.output}: {summary_text(report.result.to_dict())}", flush=True)
        if progress is not None:
            progress.advance()

    try:
        if progress is not None:
            progress.draw()
        repair_all(plan, options, workers, done)
    finally:
        if progress is not None:
            progress.clear()

    ordered = [reports[job] for job in plan]
    succeeded = [report.result for report in ordered if report.result is not None]
    failed = len(ordered) - len(succeeded)
    total: dict[str, int] = {"files": len(ordered), "succeeded": len(succeeded), "failed": failed}
    total |= {name: sum(getattr(result, name) for result in succeeded) for name in SUMMARY_COUNTS}
    if as_json:
        print_json({"files": [report.to_json() for report in ordered], "total": total}, sys.stdout)
    else:
        print(
            f"{len(succeeded)} of {len(ordered)} files repaired into {out_dir}"
            + (f" ({failed} failed)" if failed else "")
            + f": {total['total_rows']} rows in, {total['mendled_rows']} delivered "
            f"({total['repaired_rows']} repaired), {total['quarantined_rows']} quarantined"
        )
    return 1 if failed else 0


# ---- sniff and check ----


def run_sniff(args: argparse.Namespace) -> int:
    path: str = args.file
    name = STDIN_NAME if path == STDIO else path
    try:
        sample = read_sample(path)
        refuse_binary(sample)
    except (OSError, NotText, ValueError) as error:
        raise CommandError(f"{name}: {describe(error)}") from error
    delimiter, columns = sniff_dialect(sample, args.quote_char)
    if args.json:
        named = {"delimiter": delimiter, "delimiter_name": delimiter_label(delimiter)}
        print_json({"file": path} | named | {"columns": columns}, sys.stdout)
    else:
        print(f"delimiter: {delimiter_label(delimiter)}")
        print(f"columns: {columns}")
    return 0


def run_check(args: argparse.Namespace) -> int:
    path: str = args.file
    options = repair_options(args)
    # Repaired into nothing: unlike reading, no row is kept in memory.
    report = repair_alone(Job(path, os.devnull, None), options)
    if report.result is None:
        raise CommandError(f"{report.name}: {report.error}")
    result = report.result
    warn_about(report.name, result)
    changed = value_changes(result)
    if args.json:
        print_json({"file": path, "clean": not changed} | dict(result.to_dict()), sys.stdout)
    else:
        lines = [
            f"{report.name}: {summary_text(result.to_dict())}; "
            + ("a repair would change it" if changed else "clean")
        ]
        lines += [f"  {change_text(kind, change)}" for kind, change in result.changes.items()]
        print("\n".join(lines), flush=True)
    if args.strict and changed:
        kinds = (f"{kind_label(kind)} ({plural(result.changes[kind]['rows'], 'row')})" for kind in changed)
        complain(f"{report.name} needs repair: {', '.join(kinds)}")
        return 1
    return 0


# ---- entry point ----


def stop(signum: int, frame: FrameType | None) -> None:
    raise Stopped(signum)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    command_parser: argparse.ArgumentParser = args.command_parser
    run: Callable[[argparse.Namespace], int] = args.run
    handled = (signal.SIGINT, signal.SIGTERM)
    in_main_thread = threading.current_thread() is threading.main_thread()
    previous = {signum: signal.signal(signum, stop) for signum in handled} if in_main_thread else {}
    TEMPORARIES.open()
    try:
        return run(args)
    except UsageError as error:
        usage_error(command_parser, str(error))
    except BrokenPipeError:
        return closed_pipe()
    except CommandError as error:
        complain(str(error))
    except OSError as error:
        complain(describe(error))
    except Stopped as stopped:
        stop_now(stopped.signum)
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return 1


def closed_pipe() -> int:
    """The reader of stdout went away (`| head`): stop quietly, as a program
    killed by SIGPIPE would, and keep the interpreter from failing again when
    it flushes stdout at exit."""
    TEMPORARIES.remove_all()
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, STDOUT_FD)
    os.close(devnull)
    return 128 + signal.SIGPIPE


def stop_now(signum: int) -> NoReturn:
    """Removes every temporary and ends the process at once.

    Worker threads may be deep inside a repair that cannot be cancelled (the
    library runs without the interpreter lock until the file is done); the
    interpreter's normal exit would wait for them, or finalize under them.
    os._exit ends them with the process.  Nothing is left to flush: the data
    went to the temporaries removed here, the report is not printed.  (The
    library creates its output by name; it could only bring a temporary back
    in the instant between the removal and the exit.)"""
    for other in (signal.SIGINT, signal.SIGTERM):
        signal.signal(other, signal.SIG_IGN)  # a second Ctrl-C must not cut the clean-up short
    TEMPORARIES.remove_all()
    complain("interrupted" if signum == signal.SIGINT else "terminated")
    os._exit(128 + signum)


def usage_error(parser: argparse.ArgumentParser, message: str) -> NoReturn:
    parser.error(message)  # prints the usage and exits with status 2
