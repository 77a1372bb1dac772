"""The command line: repair, sniff and check CSV files.

    csv-mendle repair INPUT [-o OUTPUT] [-q QUARANTINE] [options] [--json]
    csv-mendle repair FILE... --out-dir DIR [--quarantine-dir DIR] [-j N] [options] [--json]
    csv-mendle sniff FILE [--json]
    csv-mendle check FILE [--strict] [options] [--json]

Exit status: 0 on success; 1 after an error (reported as one line on stderr),
after a batch in which any file failed, and for `check --strict` when a
repair would change or drop a row; 2 for a usage error.
"""

import argparse
import json
import os
import signal
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Literal, NamedTuple, NoReturn, TextIO, TypedDict

from . import _csv_mendle_backend as backend

if TYPE_CHECKING:
    from concurrent.futures import Future

    from ._csv_mendle_backend import _SummaryDict

PROG = "csv-mendle"
# `sniff` looks at the head of a file only: sniffing weighs the first rows.
SAMPLE_BYTES = 64 * 1024
DELIMITER_NAMES = {",": "comma", ";": "semicolon", "\t": "tab", "|": "pipe"}
CHARACTER_BY_NAME = {name: char for char, name in DELIMITER_NAMES.items()} | {"\\t": "\t"}
CountName = Literal["total_rows", "mendled_rows", "repaired_rows", "quarantined_rows"]
SUMMARY_COUNTS: tuple[CountName, ...] = ("total_rows", "mendled_rows", "repaired_rows", "quarantined_rows")


class RepairOptions(TypedDict):
    """The keyword options of `mendle_file` and `MendleReader`, as the command line sets them."""

    delimiter: str | None
    quote_char: str
    fill_ragged_rows: bool
    merge_overflow: bool
    expected_columns: int | None
    repair_quotes: bool


class UsageError(Exception):
    """A combination of arguments that argparse cannot rule out by itself."""


class CommandError(Exception):
    """A failure of the command, reported as one line on stderr with exit status 1."""


# ---- argument types ----


def character(value: str) -> str:
    """One ASCII character, or a delimiter's name (comma, semicolon, tab, pipe, \\t).

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
        "finding rows to repair), 2 on a usage error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {backend.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    options = argparse.ArgumentParser(add_help=False)
    group = options.add_argument_group("repair options")
    group.add_argument(
        "-d", "--delimiter", type=character, metavar="DELIM",
        help="field delimiter: one character, or comma, semicolon, tab, pipe (default: sniffed)",
    )
    group.add_argument(
        "--quote-char", type=character, default='"', metavar="Q", help="quote character (default: %(default)s)"
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
        "--no-repair-quotes", dest="repair_quotes", action="store_false",
        help="take every undoubled quote inside a quoted field as its closing quote, instead of judging stray quotes",
    )
    json_output = argparse.ArgumentParser(add_help=False)
    json_output.add_argument("--json", action="store_true", help="print the result as JSON on stdout")

    repair = commands.add_parser(
        "repair", parents=[options, json_output], help="repair one file, or many into a folder",
        description="Repair one CSV file (the output goes to NAME.mended.csv next to it unless -o says "
        "otherwise), or many files into --out-dir, in parallel worker processes.",
    )
    repair.add_argument("inputs", nargs="+", metavar="INPUT", help="the CSV file(s) to repair")
    repair.add_argument("-o", "--output", metavar="OUTPUT", help="where the repaired file goes (one input only)")
    repair.add_argument(
        "-q", "--quarantine", metavar="QUARANTINE",
        help="where the rows that are set aside go, as a CSV file (one input only; default: nowhere)",
    )
    repair.add_argument("--out-dir", metavar="DIR", help="repair every INPUT into DIR/NAME.mended.csv")
    repair.add_argument(
        "--quarantine-dir", metavar="DIR", help="with --out-dir: write the rows set aside to DIR/NAME.quarantine.csv"
    )
    repair.add_argument(
        "-j", "--jobs", type=count(1), metavar="N", help="worker processes for --out-dir (default: one per CPU)"
    )
    repair.set_defaults(run=run_repair, command_parser=repair)

    sniff = commands.add_parser(
        "sniff", parents=[json_output], help="detect the delimiter and the column count",
        description="Print the detected delimiter of FILE and its inferred column count.",
    )
    sniff.add_argument("file", metavar="FILE")
    sniff.set_defaults(run=run_sniff, command_parser=sniff)

    check = commands.add_parser(
        "check", parents=[options, json_output], help="report what a repair would do, writing nothing",
        description="Repair FILE in memory and report what a repair would change; nothing is written.",
    )
    check.add_argument("file", metavar="FILE")
    check.add_argument(
        "--strict", action="store_true", help="exit with status 1 when any row would be repaired or quarantined"
    )
    check.set_defaults(run=run_check, command_parser=check)
    return parser


def repair_options(args: argparse.Namespace) -> RepairOptions:
    if args.delimiter is not None and args.delimiter == args.quote_char:
        raise UsageError(f"the delimiter and the quote character are both {args.delimiter!r}")
    return RepairOptions(
        delimiter=args.delimiter,
        quote_char=args.quote_char,
        fill_ragged_rows=args.fill_ragged_rows,
        merge_overflow=args.merge_overflow,
        expected_columns=args.expected_columns,
        repair_quotes=args.repair_quotes,
    )


# ---- reporting ----


def describe(error: BaseException) -> str:
    """One line for an error: the library's own text, or the system's description."""
    if isinstance(error, UnicodeEncodeError):
        return "the path is not valid UTF-8, and the library reads UTF-8 paths only"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error).splitlines()[0] if str(error) else type(error).__name__


def delimiter_label(delimiter: str) -> str:
    return DELIMITER_NAMES.get(delimiter, repr(delimiter))


def summary_text(summary: _SummaryDict) -> str:
    columns = summary["inferred_columns"]
    return (
        f"{summary['total_rows']} rows in, {summary['mendled_rows']} delivered "
        f"({summary['repaired_rows']} repaired), {summary['quarantined_rows']} quarantined; "
        f"delimiter {delimiter_label(summary['detected_delimiter'])}, "
        + (f"{columns} columns" if columns else "no width check")
    )


def complain(message: str) -> None:
    """One line on stderr.  A path that is not valid UTF-8 (it holds surrogates)
    is shown with escapes rather than failing to print."""
    line = f"{PROG}: {message}".encode("utf-8", "backslashreplace").decode("utf-8")
    print(line, file=sys.stderr, flush=True)


def print_json(document: object) -> None:
    print(json.dumps(document, indent=2))


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


# ---- repair ----


class Job(NamedTuple):
    input: str
    output: str
    quarantine: str | None


class FileReport(NamedTuple):
    """The outcome of one file, in plain data that pickles (a MendleSummary does not)."""

    job: Job
    summary: _SummaryDict | None = None
    error: str | None = None

    def to_json(self) -> dict[str, object]:
        paths: dict[str, object] = {"input": self.job.input}
        if self.summary is None:
            return paths | {"error": self.error}
        return paths | {"output": self.job.output, "quarantine": self.job.quarantine} | dict(self.summary)


def repair_one(job: Job, options: RepairOptions) -> FileReport:
    """Repairs one file; runs in a worker process of a batch."""
    try:
        summary = backend.mendle_file(job.input, job.output, job.quarantine, **options)
    except (OSError, UnicodeEncodeError) as error:
        return FileReport(job, error=describe(error))
    return FileReport(job, summary=summary.to_dict())


def ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the main process alone decides
    # what happens, so workers do not print tracebacks of their own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def repair_all(jobs: list[Job], options: RepairOptions, workers: int, done: Callable[[FileReport], None]) -> None:
    """Repairs every job, calling `done` in the main process as each one finishes.

    The library holds the interpreter lock for a whole file, so parallel files
    need processes, not threads.
    """
    if workers == 1:
        for job in jobs:
            done(repair_one(job, options))
        return
    # Imported here: it costs a one-file command a third of its start-up time.
    from concurrent.futures import ProcessPoolExecutor, as_completed

    with ProcessPoolExecutor(max_workers=workers, initializer=ignore_interrupts) as pool:
        futures: dict[Future[FileReport], Job] = {pool.submit(repair_one, job, options): job for job in jobs}
        try:
            for future in as_completed(futures):
                try:
                    report = future.result()
                except Exception as error:  # a worker that died takes its file with it, not the batch
                    report = FileReport(futures[future], error=f"worker process failed: {describe(error)}")
                done(report)
        except BaseException:
            pool.shutdown(wait=True, cancel_futures=True)
            raise


def run_repair(args: argparse.Namespace) -> int:
    inputs: list[str] = args.inputs
    options = repair_options(args)
    if args.out_dir is None:
        if len(inputs) > 1:
            raise UsageError("several inputs need --out-dir DIR")
        if args.quarantine_dir is not None:
            raise UsageError("--quarantine-dir goes with --out-dir; for one file use -q QUARANTINE")
        return repair_single(inputs[0], args.output, args.quarantine, options, args.json)
    if args.output is not None or args.quarantine is not None:
        raise UsageError("-o and -q name the files of one input; with --out-dir use --quarantine-dir")
    return repair_batch(inputs, args.out_dir, args.quarantine_dir, args.jobs, options, args.json)


def sibling(path: str, suffix: str, folder: str | None = None) -> str:
    """NAME.mended.csv or NAME.quarantine.csv, next to the input or in `folder`."""
    source = Path(path)
    return str(Path(folder if folder is not None else source.parent, source.stem + suffix))


def repair_single(
    input_path: str, output: str | None, quarantine: str | None, options: RepairOptions, as_json: bool
) -> int:
    job = Job(input_path, output if output is not None else sibling(input_path, ".mended.csv"), quarantine)
    if job.quarantine is not None and Path(job.quarantine).resolve() == Path(job.output).resolve():
        raise UsageError("the output and the quarantine file are the same file")
    report = repair_one(job, options)
    if report.summary is None:
        raise CommandError(f"cannot repair {input_path}: {report.error}")
    if as_json:
        print_json(report.to_json())
        return 0
    summary = report.summary
    print(f"{input_path}: {summary_text(summary)}")
    print(f"  output:     {job.output}")
    if job.quarantine is not None:
        print(f"  quarantine: {job.quarantine}")
    elif summary["quarantined_rows"]:
        print(f"  quarantine: none ({summary['quarantined_rows']} rows set aside and dropped; keep them with -q FILE)")
    return 0


def repair_batch(
    inputs: list[str], out_dir: str, quarantine_dir: str | None, jobs: int | None, options: RepairOptions,
    as_json: bool,
) -> int:
    plan = [
        Job(
            path,
            sibling(path, ".mended.csv", out_dir),
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
        if report.summary is None:
            complain(f"cannot repair {report.job.input}: {report.error}")
        elif not as_json:
            print(f"{report.job.input} -> {report.job.output}: {summary_text(report.summary)}", flush=True)
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
    succeeded = [report.summary for report in ordered if report.summary is not None]
    failed = len(ordered) - len(succeeded)
    total: dict[str, int] = {"files": len(ordered), "succeeded": len(succeeded), "failed": failed}
    total |= {name: sum(summary[name] for summary in succeeded) for name in SUMMARY_COUNTS}
    if as_json:
        print_json({"files": [report.to_json() for report in ordered], "total": total})
    else:
        print(
            f"{len(succeeded)} of {len(ordered)} files repaired into {out_dir}"
            + (f" ({failed} failed)" if failed else "")
            + f": {total['total_rows']} rows in, {total['mendled_rows']} delivered "
            f"({total['repaired_rows']} repaired), {total['quarantined_rows']} quarantined"
        )
    return 1 if failed else 0


# ---- sniff and check ----


def read_sample(path: str) -> str:
    """The head of the file as text, cut after its last complete line when the file goes on."""
    with open(path, "rb") as stream:
        head = stream.read(SAMPLE_BYTES + 1)
    if len(head) > SAMPLE_BYTES:
        head = head[:SAMPLE_BYTES]
        cut = head.rfind(b"\n")
        if cut >= 0:
            head = head[: cut + 1]
    return head.decode("utf-8", errors="replace")


def run_sniff(args: argparse.Namespace) -> int:
    path: str = args.file
    try:
        delimiter = backend.sniff(read_sample(path))
        # Inference weighs the rows under this delimiter, as a repair would.
        columns = backend.MendleReader(path, delimiter=delimiter).summary.inferred_columns
    except (OSError, UnicodeEncodeError) as error:
        raise CommandError(f"{path}: {describe(error)}") from error
    if args.json:
        print_json({"file": path, "delimiter": delimiter, "delimiter_name": DELIMITER_NAMES[delimiter], "columns": columns})
    else:
        print(f"delimiter: {DELIMITER_NAMES[delimiter]}")
        print(f"columns: {columns}")
    return 0


def run_check(args: argparse.Namespace) -> int:
    path: str = args.file
    options = repair_options(args)
    try:
        summary = backend.MendleReader(path, **options).summary.to_dict()
    except (OSError, UnicodeEncodeError) as error:
        raise CommandError(f"{path}: {describe(error)}") from error
    clean = summary["repaired_rows"] == 0 and summary["quarantined_rows"] == 0
    if args.json:
        print_json({"file": path, "clean": clean} | dict(summary))
    else:
        print(f"{path}: {summary_text(summary)}; " + ("clean" if clean else "a repair would change it"))
    if args.strict and not clean:
        sys.stdout.flush()
        complain(
            f"{path} needs repair: {summary['repaired_rows']} rows would be repaired, "
            f"{summary['quarantined_rows']} quarantined"
        )
        return 1
    return 0


# ---- entry point ----


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    command_parser: argparse.ArgumentParser = args.command_parser
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except UsageError as error:
        usage_error(command_parser, str(error))
    except BrokenPipeError:
        # The reader of stdout went away (`| head`): stop quietly, and keep
        # the interpreter from failing again when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except CommandError as error:
        complain(str(error))
    except (OSError, UnicodeEncodeError) as error:
        complain(describe(error))
    except KeyboardInterrupt:
        complain("interrupted")
        return 130
    return 1


def usage_error(parser: argparse.ArgumentParser, message: str) -> NoReturn:
    parser.error(message)  # prints the usage and exits with status 2
