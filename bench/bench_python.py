"""End-to-end benchmark of csv_mendle against what a Python user would do instead.

Generates a damaged CSV of about 100 MB (fixed seed) and a clean one of the
same size (same seed, no damaged rows), then runs every contender several
times, each run in a fresh process, and prints MB/s, the peak memory over the
file size, each contender's time over csv_mendle's own figure and the share of
the input rows that reach the output; optionally a chart and a JSON dump.
The DataFrame jobs load the damaged file through the reader's Arrow stream
into pandas, polars and DuckDB, against the peers' readers of the clean file
and against DataFrames built from the iterated lists; they alternate, one of
each in turn, so their ratios come from the same minutes.

The peers pandas, duckdb, polars and pyarrow do not repair: they drop or
truncate the damaged rows.  Each is measured when importable (`./dev bench`
installs the last three into a venv of its own) and skipped with a note
otherwise.

    python bench/bench_python.py [--mb 100] [--runs 3] [--pair-runs N]
                                 [--only NAME,...] [--chart PNG] [--json PATH]
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib.metadata
import importlib.util
import json
import os
import pathlib
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import textwrap
from typing import Any

DAMAGED_SHARE = 0.05

# What every contender's result is divided by, per kind of job.
REFERENCE = {
    "file": "csv_mendle.mendle_file",
    "iterate": "csv_mendle.MendleReader iterate",
    "frame": "csv_mendle.read().to_pandas()",
}
JOB_TITLES = {
    "file": "file jobs: read, repair or skip, write",
    "iterate": "iteration jobs: every row into Python",
    "frame": "DataFrame jobs: every cell a str in a DataFrame",
}


@dataclasses.dataclass(frozen=True)
class Contender:
    what: str
    # Run in a fresh process with `src`, `dst` and `quarantine` (paths) and
    # `extra` (a dict reported back) defined; `resident()` gives the current
    # RSS in bytes.
    code: str
    job: str  # a key of REFERENCE
    repairs: bool = True
    needs: str | None = None  # the module it imports, when that may be missing
    clean_input: bool = False
    floor: bool = False
    # The damaged file with accented letters, in this encoding, as its input
    # (see ENCODED_INPUTS); None for the plain ASCII inputs.
    encoded: str | None = None

    @property
    def input_kind(self) -> str:
        if self.encoded is not None:
            return f"accented {self.encoded}"
        return "clean" if self.clean_input else "damaged"


CONTENDERS = {
    "copy (floor)": Contender(
        "read the whole file, write it out",
        """
        with open(src, "rb") as f:
            data = f.read()
        with open(dst, "wb") as f:
            f.write(data)
        """,
        job="file",
        repairs=False,
        floor=True,
    ),
    "copy via huge pages (floor)": Contender(
        "the same into a mapping advised for huge pages",
        """
        import mmap, os
        size = os.path.getsize(src)
        data = mmap.mmap(-1, max(size, 1))
        if hasattr(mmap, "MADV_HUGEPAGE"):
            data.madvise(mmap.MADV_HUGEPAGE)
        with open(src, "rb", buffering=0) as f:
            got = f.readinto(data)
        with open(dst, "wb", buffering=0) as f:
            f.write(memoryview(data)[:got])
        """,
        job="file",
        repairs=False,
        floor=True,
    ),
    "csv_mendle.mendle_file": Contender(
        "repair, write output and quarantine",
        """
        import csv_mendle
        csv_mendle.mendle_file(src, dst, quarantine)
        """,
        job="file",
    ),
    "csv_mendle.mendle_file (clean)": Contender(
        "the same on the clean file: nothing to repair",
        """
        import csv_mendle
        csv_mendle.mendle_file(src, dst, quarantine)
        """,
        job="file",
        clean_input=True,
    ),
    "csv_mendle.repair": Contender(
        "the package API: the same, with the account, the lock released",
        """
        import csv_mendle
        csv_mendle.repair(src, dst, quarantine=quarantine)
        """,
        job="file",
    ),
    "csv_mendle.repair x2 (2 threads)": Contender(
        "two repairs of the file at once on two threads (time for both)",
        """
        import csv_mendle, threading
        threads = [threading.Thread(target=csv_mendle.repair, args=(src, dst + str(i)),
                                    kwargs={"quarantine": quarantine + str(i)}) for i in range(2)]
        for t in threads: t.start()
        for t in threads: t.join()
        """,
        job="file",
    ),
    "csv_mendle.repair x2 (in turn)": Contender(
        "the same two repairs one after the other (time for both)",
        """
        import csv_mendle
        for i in range(2):
            csv_mendle.repair(src, dst + str(i), quarantine=quarantine + str(i))
        """,
        job="file",
    ),
    "csv_mendle.repair (accented UTF-8)": Contender(
        "the damaged file with accented letters, in UTF-8",
        """
        import csv_mendle
        csv_mendle.repair(src, dst, quarantine=quarantine)
        """,
        job="file",
        encoded="utf-8",
    ),
    "csv_mendle.repair (accented cp1252)": Contender(
        "the same text exported in cp1252, read with encoding='cp1252'",
        """
        import csv_mendle
        csv_mendle.repair(src, dst, quarantine=quarantine, encoding="cp1252")
        """,
        job="file",
        encoded="cp1252",
    ),
    "csv_mendle.repair (accented UTF-16)": Contender(
        "the same text in UTF-16 with its byte-order mark, read with encoding='utf-16'",
        """
        import csv_mendle
        csv_mendle.repair(src, dst, quarantine=quarantine, encoding="utf-16")
        """,
        job="file",
        encoded="utf-16",
    ),
    "stdlib csv repair": Contender(
        "csv.reader, pad/merge to the modal width, csv.writer",
        """
        import csv, collections, itertools
        with open(src, newline="", encoding="utf-8", errors="replace") as f:
            head = [len(r) for r in itertools.islice(csv.reader(f), 100) if r]
        width = collections.Counter(head).most_common(1)[0][0]
        with open(src, newline="", encoding="utf-8", errors="replace") as f, \\
             open(dst, "w", newline="", encoding="utf-8") as out:
            w = csv.writer(out, lineterminator="\\n")
            for row in csv.reader(f):
                if len(row) < width:
                    row += [""] * (width - len(row))
                elif len(row) > width:
                    row[width - 1:] = [",".join(row[width - 1:])]
                w.writerow(row)
        """,
        job="file",
    ),
    "pandas read_csv(skip)+to_csv": Contender(
        "NO REPAIR: drops long rows, pads short ones",
        """
        import pandas
        frame = pandas.read_csv(src, header=None, on_bad_lines="skip", dtype=str, keep_default_na=False)
        frame.to_csv(dst, header=False, index=False)
        """,
        job="file",
        repairs=False,
        needs="pandas",
    ),
    # DuckDB's sniffer gives up on this file once the delimiter and quote are
    # named, and without them settles on no quoting (every quoted field split
    # in two), so the dialect and the ten columns are spelled out.  Given
    # those, ignore_errors alone ends the scan after a few hundred rows;
    # store_rejects, which implies it, reads on and drops each damaged row.
    "duckdb read_csv(store_rejects)+COPY": Contender(
        "NO REPAIR: drops every damaged row; schema given; all cores",
        """
        import duckdb
        columns = ", ".join(f"'c{i}': 'VARCHAR'" for i in range(10))
        duckdb.connect().execute(
            f"COPY (SELECT * FROM read_csv('{src}', header = false, delim = ',', quote = '\\"',"
            f" escape = '\\"', auto_detect = false, columns = {{{columns}}}, store_rejects = true))"
            f" TO '{dst}' (FORMAT csv, HEADER false)"
        )
        """,
        job="file",
        repairs=False,
        needs="duckdb",
    ),
    "polars read_csv(truncate)+write_csv": Contender(
        "NO REPAIR: truncates long rows, pads short ones; all cores",
        """
        import polars
        frame = polars.read_csv(src, has_header=False, infer_schema=False, truncate_ragged_lines=True)
        frame.write_csv(dst, include_header=False)
        """,
        job="file",
        repairs=False,
        needs="polars",
    ),
    "pyarrow read_csv(skip)+write_csv": Contender(
        "NO REPAIR: drops long and short rows; 1 thread",
        """
        import pyarrow, pyarrow.csv
        table = pyarrow.csv.read_csv(
            src,
            read_options=pyarrow.csv.ReadOptions(use_threads=False, autogenerate_column_names=True),
            parse_options=pyarrow.csv.ParseOptions(invalid_row_handler=lambda row: "skip"),
            convert_options=pyarrow.csv.ConvertOptions(
                column_types={f"f{i}": pyarrow.string() for i in range(64)}),
        )
        pyarrow.csv.write_csv(table, dst, write_options=pyarrow.csv.WriteOptions(include_header=False))
        """,
        job="file",
        repairs=False,
        needs="pyarrow",
    ),
    "csv_mendle.MendleReader iterate": Contender(
        "repair in memory, iterate every row",
        """
        import csv_mendle
        extra["resident_before"] = resident()
        reader = csv_mendle.MendleReader(src)
        extra["resident_after"] = resident()
        for row in reader:
            pass
        """,
        job="iterate",
    ),
    "stdlib csv.reader iterate": Contender(
        "iterate only, no repair",
        """
        import csv
        with open(src, newline="", encoding="utf-8", errors="replace") as f:
            for row in csv.reader(f):
                pass
        """,
        job="iterate",
        repairs=False,
    ),
    "stdlib list(csv.reader)": Contender(
        "all rows in memory, no repair",
        """
        import csv
        with open(src, newline="", encoding="utf-8", errors="replace") as f:
            rows = list(csv.reader(f))
        """,
        job="iterate",
        repairs=False,
    ),
    "csv_mendle.read().to_pandas()": Contender(
        "repair in memory, Arrow stream into pandas: pyarrow-backed str columns",
        """
        import csv_mendle
        frame = csv_mendle.read(src).to_pandas()
        """,
        job="frame",
        needs="pyarrow",
    ),
    "csv_mendle.read().to_pandas(numpy)": Contender(
        "the same with dtype_backend='numpy': a str object per cell, as read_csv gives",
        """
        import csv_mendle
        frame = csv_mendle.read(src).to_pandas(dtype_backend="numpy")
        """,
        job="frame",
        needs="pyarrow",
    ),
    "polars.DataFrame(csv_mendle.read())": Contender(
        "repair in memory, Arrow stream into polars",
        """
        import csv_mendle, polars
        frame = polars.DataFrame(csv_mendle.read(src))
        """,
        job="frame",
        needs="polars",
    ),
    "csv_mendle.read().to_polars()": Contender(
        "repair in memory, Arrow stream of string views into polars",
        """
        import csv_mendle
        frame = csv_mendle.read(src).to_polars()
        """,
        job="frame",
        needs="polars",
    ),
    "duckdb table from csv_mendle.read()": Contender(
        "repair in memory, Arrow stream into a DuckDB table",
        """
        import csv_mendle, duckdb
        reader = csv_mendle.read(src)
        connection = duckdb.connect()
        connection.execute("CREATE TABLE rows AS SELECT * FROM reader")
        """,
        job="frame",
        needs="duckdb",
    ),
    "pandas.DataFrame(list(csv_mendle.read()))": Contender(
        "repair in memory, iterate lists of str into pandas",
        """
        import csv_mendle, pandas
        frame = pandas.DataFrame(list(csv_mendle.read(src)))
        """,
        job="frame",
        needs="pandas",
    ),
    "polars.DataFrame(list(csv_mendle.read()))": Contender(
        "repair in memory, iterate lists of str into polars",
        """
        import csv_mendle, polars
        frame = polars.DataFrame(list(csv_mendle.read(src)), orient="row")
        """,
        job="frame",
        needs="polars",
    ),
    "pandas read_csv (clean)": Contender(
        "NO REPAIR: the clean file, str columns (a str object per cell)",
        """
        import pandas
        frame = pandas.read_csv(src, header=None, dtype=str, keep_default_na=False)
        """,
        job="frame",
        repairs=False,
        needs="pandas",
        clean_input=True,
    ),
    "pandas read_csv(engine=pyarrow) (clean)": Contender(
        "NO REPAIR: the clean file, pyarrow-backed str columns; all cores",
        """
        import pandas
        frame = pandas.read_csv(src, header=None, engine="pyarrow", dtype_backend="pyarrow",
                                dtype="string[pyarrow]")
        """,
        job="frame",
        repairs=False,
        needs="pyarrow",
        clean_input=True,
    ),
    "polars read_csv (clean)": Contender(
        "NO REPAIR: the clean file, str columns; all cores",
        """
        import polars
        frame = polars.read_csv(src, has_header=False, infer_schema=False)
        """,
        job="frame",
        repairs=False,
        needs="polars",
        clean_input=True,
    ),
    "duckdb read_csv (clean)": Contender(
        "NO REPAIR: the clean file into a DuckDB table, str columns; all cores",
        """
        import duckdb
        connection = duckdb.connect()
        connection.execute(f"CREATE TABLE rows AS SELECT * FROM read_csv('{src}', header = false,"
                           " all_varchar = true)")
        """,
        job="frame",
        repairs=False,
        needs="duckdb",
        clean_input=True,
    ),
}


def generate(path: pathlib.Path, megabytes: int, damaged_share: float = DAMAGED_SHARE) -> None:
    rng = random.Random(42)
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789"
    words = ["".join(rng.choices(alphabet, k=rng.randint(2, 12))) for _ in range(5000)]
    target = megabytes << 20
    size = 0
    with open(path, "w", encoding="utf-8", newline="") as f:
        while size < target:
            lines = []
            for _ in range(10000):
                fields = rng.choices(words, k=10)
                fields[3] = f'"{fields[3]}, {fields[4]}"'
                if rng.random() < damaged_share:
                    kind = rng.randrange(3)
                    if kind == 0:
                        fields = fields[:6]
                    elif kind == 1:
                        fields += rng.choices(words, k=3)
                    else:
                        fields[4] = '"say "hi" there"'
                lines.append(",".join(fields))
            chunk = "\n".join(lines) + "\n"
            f.write(chunk)
            size += len(chunk)


def settle_in_page_cache(path: pathlib.Path) -> None:
    """Leaves the file's bytes in the page cache as one sequential read of it leaves them.

    How a file came into the cache shapes it: after the generator's writes
    (or whatever last wrote the file) its pages may sit in smaller folios than
    read-ahead makes, and on the machine these figures come from, that made
    reading one input 10% slower than reading the other, the same size.  So
    every input is written back, dropped from the cache and read once, and
    all contenders then start from the same state.
    """
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)  # only pages already written back can be dropped
        if hasattr(os, "posix_fadvise"):
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        while os.read(fd, 1 << 20):
            pass
    finally:
        os.close(fd)


PRELUDE = """\
import json, os, sys, time
src, dst, quarantine = {src!r}, {dst!r}, {quarantine!r}
extra = {{}}
_page = os.sysconf("SC_PAGE_SIZE")
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _page
t0 = time.perf_counter()
"""
# The peak comes from the child's own VmHWM: the ru_maxrss that wait4 reports
# starts from the parent's peak, which the child's exec inherits.
EPILOGUE = """
seconds = time.perf_counter() - t0
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
sys.stdout.write("\\n" + json.dumps({"seconds": seconds, "peak": peak, "extra": extra}))
"""


class ContenderFailed(Exception):
    pass


def failure_line(stderr: str, status: int) -> str:
    """The exception line of a traceback, else the last line written, else the status."""
    lines = stderr.strip().splitlines()
    starts = [i for i, line in enumerate(lines) if line.startswith("Traceback ")]
    if starts:
        # Frames are indented; the exception's own line is the first that is not.
        for line in lines[starts[-1] + 1 :]:
            if line and not line[0].isspace():
                return line
    return lines[-1] if lines else f"exit status {status}"


def run_once(code: str, src: str, dst: str, quarantine: str) -> tuple[float, int, dict[str, Any]]:
    """Seconds, peak RSS in bytes and the contender's `extra`, from one fresh process."""
    program = PRELUDE.format(src=src, dst=dst, quarantine=quarantine) + textwrap.dedent(code) + EPILOGUE
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True)
    if proc.returncode != 0:
        raise ContenderFailed(failure_line(proc.stderr.decode(errors="replace"), proc.returncode))
    result = json.loads(proc.stdout.decode().rsplit("\n", 1)[-1])
    return result["seconds"], result["peak"], result["extra"]


def line_count(path: str | pathlib.Path) -> int:
    count = 0
    with open(path, "rb") as f:
        while block := f.read(1 << 24):
            count += block.count(b"\n")
    return count


@dataclasses.dataclass
class Result:
    name: str
    times: list[float]
    peak: int  # bytes, the highest of the runs
    size: int  # bytes of the input
    rows_in: int
    rows_out: int | None  # lines of the output, for file jobs
    quarantined: int | None  # lines of the quarantine, when one was written
    extra: list[dict[str, Any]]

    @property
    def seconds(self) -> float:
        return statistics.median(self.times)

    @property
    def mb_per_s(self) -> float:
        return self.size / 1e6 / self.seconds


def machine() -> dict[str, Any]:
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "cpus": os.cpu_count(),
        "cpu_model": model,
        "python": platform.python_version(),
        "system": f"{platform.system()} {platform.release()}",
    }


def versions() -> dict[str, str]:
    found = {}
    for dist in ("duckdb", "polars", "pyarrow", "pandas", "numpy"):
        try:
            found[dist] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            pass
    return found


# The repair of the damaged file and of the clean one are compared with each
# other, so their runs alternate, one of each in turn: run as two batches,
# the machine's drift over the minutes between them (tens of per cent on a
# shared VM) would land on one side of the ratio only.  Their order within a
# round flips each round (damaged, clean, clean, damaged, ...): a run can
# leave the page allocator in a state that speeds or slows the next one.
# Their ratio is a goal of its own, and on a shared VM single rounds land
# 20-50% off now and then, so they run more rounds than the rest
# (--pair-runs).
# The package's repair, which keeps the account of its changes, runs in the
# same rounds, so that its cost over mendle_file is a paired ratio too; and
# two repairs on two threads alternate with the same two in turn.
ALTERNATE = ("csv_mendle.mendle_file", "csv_mendle.mendle_file (clean)", "csv_mendle.repair")
# The three encodings of the accented file alternate too, so that the cost
# of reading cp1252 and UTF-16 is a paired ratio to reading UTF-8.
ALTERNATE_ENCODINGS = (
    "csv_mendle.repair (accented UTF-8)",
    "csv_mendle.repair (accented cp1252)",
    "csv_mendle.repair (accented UTF-16)",
)
# Letters that cp1252 holds, in place of some ASCII ones: about one
# character in twelve of the words becomes non-ASCII.
ACCENTS = str.maketrans({"q": "ä", "x": "ß", "z": "€"})
ALTERNATE_THREADS = ("csv_mendle.repair x2 (2 threads)", "csv_mendle.repair x2 (in turn)")
# The DataFrame jobs are compared with each other (the reader's stream
# against the peers' readers of the clean file and against the iterated
# lists), so they alternate too, for --runs rounds.
ALTERNATE_FRAMES = tuple(name for name, contender in CONTENDERS.items() if contender.job == "frame")


def measure(
    names: list[str], inputs: dict[str, pathlib.Path], runs: int, out_dir: str, failed: dict[str, str]
) -> dict[str, Result]:
    """Runs each named contender `runs` times, the names in turn; one that fails drops out, noted in `failed`."""
    dst = os.path.join(out_dir, "out.csv")
    quarantine = os.path.join(out_dir, "quarantine.csv")
    srcs = {name: inputs[CONTENDERS[name].input_kind] for name in names}
    results = {
        name: Result(
            name=name,
            times=[],
            peak=0,
            size=srcs[name].stat().st_size,
            rows_in=line_count(srcs[name]),
            rows_out=None,
            quarantined=None,
            extra=[],
        )
        for name in names
    }
    for run in range(runs):
        # Alternating contenders swap places every other round, so that
        # neither always runs right after the other.
        in_turn = names if run % 2 == 0 else names[::-1]
        for name in [n for n in in_turn if n not in failed]:
            # Every run writes new files: truncating the previous run's
            # output costs time that no user pays twice in a row.
            for path in (dst, quarantine):
                if os.path.exists(path):
                    os.unlink(path)
            try:
                seconds, peak, extra = run_once(CONTENDERS[name].code, str(srcs[name]), dst, quarantine)
            except ContenderFailed as e:
                failed[name] = str(e)
                print(f"  {name} failed: {e}", file=sys.stderr)
                continue
            result = results[name]
            result.times.append(seconds)
            result.peak = max(result.peak, peak)
            result.extra.append(extra)
            contender = CONTENDERS[name]
            if run == runs - 1 and contender.job == "file" and not contender.floor:
                # Counted now: the files are the next contender's to overwrite.
                if os.path.exists(dst):
                    result.rows_out = line_count(dst)
                if os.path.exists(quarantine):  # less its header line
                    result.quarantined = max(line_count(quarantine) - 1, 0)
    return {name: result for name, result in results.items() if name not in failed}


def processes(runs: int) -> str:
    return f"{runs} fresh process" + ("es" if runs != 1 else "")


def pair_runs(results: dict[str, Result]) -> int | None:
    """How many rounds the alternated pair ran, when both of it did."""
    present = [name for name in ALTERNATE if name in results]
    if len(present) < 2:
        return None
    return len(results[present[0]].times)


def medians_of(results: dict[str, Result], runs: int) -> str:
    text = f"median of {processes(runs)}"
    rounds = pair_runs(results)
    if rounds is not None and rounds != runs:
        text += f" ({rounds} for the alternated mendle_file pair)"
    return text


def ratio(results: dict[str, Result], name: str, reference: str) -> float | None:
    if name not in results or reference not in results:
        return None
    return results[name].seconds / results[reference].seconds


def paired_ratio(results: dict[str, Result], name: str, reference: str) -> float | None:
    """The median over rounds of `name`'s time over `reference`'s, for contenders whose runs alternate.

    Each pair ran back to back, so the machine's drift over the minutes of the
    whole series cancels within a pair; the ratio of the two medians would
    still compare runs from different minutes.
    """
    if name not in results or reference not in results:
        return None
    # Both ran every round: a contender that fails once is dropped whole.
    return statistics.median(a / b for a, b in zip(results[name].times, results[reference].times))


# The paired ratios reported besides the damaged / clean one: (contender,
# reference, what it says).
PAIRED_RATIOS = (
    ("csv_mendle.mendle_file", "csv_mendle.mendle_file (clean)", "mendle_file, damaged / clean time"),
    ("csv_mendle.repair", "csv_mendle.mendle_file", "repair / mendle_file time"),
    (ALTERNATE_THREADS[0], ALTERNATE_THREADS[1], "two repairs on two threads / the same in turn, time"),
    (ALTERNATE_ENCODINGS[1], ALTERNATE_ENCODINGS[0], "repair of cp1252 / of the same text in UTF-8, time"),
    (ALTERNATE_ENCODINGS[2], ALTERNATE_ENCODINGS[0], "repair of UTF-16 / of the same text in UTF-8, time"),
)
# The DataFrame goals, as the peer's time over csv_mendle's (how many times
# faster csv_mendle is), each the median over the alternated rounds.
FRAME_RATIOS = (
    ("pandas read_csv (clean)", "csv_mendle.read().to_pandas()", "pandas.read_csv(clean) / read().to_pandas()"),
    ("pandas read_csv (clean)", "csv_mendle.read().to_pandas(numpy)",
     "pandas.read_csv(clean) / read().to_pandas(dtype_backend='numpy')"),
    ("pandas read_csv(engine=pyarrow) (clean)", "csv_mendle.read().to_pandas()",
     "pandas.read_csv(clean, engine='pyarrow', dtype_backend='pyarrow') / read().to_pandas()"),
    ("pandas.DataFrame(list(csv_mendle.read()))", "csv_mendle.read().to_pandas()",
     "pandas.DataFrame(list(read())) / read().to_pandas()"),
    ("polars read_csv (clean)", "polars.DataFrame(csv_mendle.read())", "polars.read_csv(clean) / polars.DataFrame(read())"),
    ("polars read_csv (clean)", "csv_mendle.read().to_polars()", "polars.read_csv(clean) / read().to_polars()"),
    ("polars.DataFrame(list(csv_mendle.read()))", "polars.DataFrame(csv_mendle.read())",
     "polars.DataFrame(list(read())) / polars.DataFrame(read())"),
    ("duckdb read_csv (clean)", "duckdb table from csv_mendle.read()",
     "duckdb read_csv(clean) / duckdb table from read()"),
)


def reader_retained(results: dict[str, Result]) -> tuple[int, float] | None:
    """Bytes the MendleReader holds once constructed (median over runs), and over the file size."""
    result = results.get(REFERENCE["iterate"])
    if result is None:
        return None
    retained = int(statistics.median(e["resident_after"] - e["resident_before"] for e in result.extra))
    return retained, retained / result.size


def report(
    results: dict[str, Result],
    skipped: dict[str, str],
    failed: dict[str, str],
    sizes: dict[str, int],
    runs: int,
    host: dict[str, Any],
) -> None:
    damaged, clean = sizes.get("damaged"), sizes.get("clean")
    print()
    line = f"file: {damaged / 1e6:.1f} MB, {DAMAGED_SHARE:.0%} damaged rows" if damaged else "file:"
    if clean:
        line += f" (clean file: {clean / 1e6:.1f} MB)"
    print(f"{line}; {medians_of(results, runs)}; {host['cpus']} vCPU, {host['cpu_model']}")
    print("time/ref: the contender's time over csv_mendle's, mendle_file for file jobs, MendleReader for iteration"
          " jobs and read().to_pandas() for DataFrame jobs")
    print("rows out: lines written over lines read")
    print()
    print(f"{'contender':38} {'MB/s':>7} {'peak/file':>9} {'time/ref':>8} {'rows out':>8}  what it does")
    for job, title in JOB_TITLES.items():
        names = [n for n in results if CONTENDERS[n].job == job]
        if not names:
            continue
        print(title)
        for name in names:
            r = results[name]
            time_ratio = ratio(results, name, REFERENCE[job])
            shown_ratio = f"{time_ratio:.2f}x" if time_ratio is not None else ""
            rows = ""
            if r.rows_out is not None:
                rows = f"{r.rows_out / r.rows_in:.2%}"
            print(
                f"  {name:36} {r.mb_per_s:7.1f} {r.peak / r.size:8.2f}x {shown_ratio:>8} {rows:>8}  "
                f"{CONTENDERS[name].what}"
            )
    print()
    mendle = REFERENCE["file"]
    if mendle in results:
        r = results[mendle]
        extra = f", plus {r.quarantined:,} quarantined" if r.quarantined else ""
        print(f"{mendle} wrote {r.rows_out:,} of {r.rows_in:,} input rows{extra}")
    damaged_over_clean = paired_ratio(results, mendle, "csv_mendle.mendle_file (clean)")
    if damaged_over_clean is not None:
        per_byte = damaged_over_clean * results["csv_mendle.mendle_file (clean)"].size / results[mendle].size
        print(
            f"{mendle}, damaged / clean time (median over alternated pairs of runs): "
            f"{damaged_over_clean:.2f}x (medians {results[mendle].seconds:.2f} s / "
            f"{results['csv_mendle.mendle_file (clean)'].seconds:.2f} s; per byte {per_byte:.2f}x)"
        )
    for name, reference, what in PAIRED_RATIOS[1:]:
        value = paired_ratio(results, name, reference)
        if value is not None:
            print(f"{what} (median over alternated runs): {value:.2f}x")
    for floor in ("copy (floor)", "copy via huge pages (floor)"):
        over_floor = ratio(results, mendle, floor)
        if over_floor is not None:
            print(f"{mendle} / {floor} time: {over_floor:.2f}x")
    for name, reference, what in FRAME_RATIOS:
        value = paired_ratio(results, name, reference)
        if value is not None:
            print(f"{what}, time (median over alternated rounds): {value:.2f}x")
    retained = reader_retained(results)
    if retained is not None:
        print(
            f"csv_mendle.MendleReader resident after construction, before iterating: "
            f"{retained[1]:.2f}x the file ({retained[0] / 1e6:.0f} MB)"
        )
    for name, why in skipped.items():
        print(f"skipped {name}: {why}")
    for name, why in failed.items():
        print(f"FAILED {name}: {why}")


def to_json(
    path: str,
    results: dict[str, Result],
    skipped: dict[str, str],
    failed: dict[str, str],
    sizes: dict[str, int],
    runs: int,
    host: dict[str, Any],
) -> None:
    retained = reader_retained(results)
    mendle = REFERENCE["file"]
    document = {
        "machine": host,
        "versions": versions(),
        "runs": runs,
        "pair_runs": pair_runs(results),
        "damaged_share": DAMAGED_SHARE,
        "file_bytes": sizes,
        "contenders": [
            {
                "name": name,
                "what": CONTENDERS[name].what,
                "job": CONTENDERS[name].job,
                "repairs": CONTENDERS[name].repairs,
                "input": CONTENDERS[name].input_kind,
                "seconds": r.seconds,
                "all_seconds": r.times,
                "mb_per_s": r.mb_per_s,
                "peak_bytes": r.peak,
                "peak_over_file": r.peak / r.size,
                "reference": REFERENCE[CONTENDERS[name].job],
                "time_over_reference": ratio(results, name, REFERENCE[CONTENDERS[name].job]),
                "rows_in": r.rows_in,
                "rows_out": r.rows_out,
                "rows_quarantined": r.quarantined,
            }
            for name, r in results.items()
        ],
        "mendle_file_damaged_over_clean_time": paired_ratio(results, mendle, "csv_mendle.mendle_file (clean)"),
        "repair_over_mendle_file_time": paired_ratio(results, *PAIRED_RATIOS[1][:2]),
        "two_threads_over_in_turn_time": paired_ratio(results, *PAIRED_RATIOS[2][:2]),
        "cp1252_over_utf8_time": paired_ratio(results, *PAIRED_RATIOS[3][:2]),
        "utf16_over_utf8_time": paired_ratio(results, *PAIRED_RATIOS[4][:2]),
        "mendle_file_over_copy_floor_time": ratio(results, mendle, "copy (floor)"),
        "mendle_file_over_huge_page_copy_floor_time": ratio(results, mendle, "copy via huge pages (floor)"),
        "frame_time_ratios": {
            what: paired_ratio(results, name, reference) for name, reference, what in FRAME_RATIOS
        },
        "reader_resident_after_construction_bytes": retained[0] if retained else None,
        "reader_resident_after_construction_over_file": retained[1] if retained else None,
        "skipped": skipped,
        "failed": failed,
    }
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f, indent=2)
        f.write("\n")


def write_chart(
    path: str,
    results: dict[str, Result],
    sizes: dict[str, int],
    runs: int,
    host: dict[str, Any],
) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    mendle_colour, other_colour, peer_colour, floor_colour = "#1f5fa8", "#7fa7cf", "#e0a040", "#b8b8b8"

    # Top to bottom: a heading per kind of job, then its contenders in table order.
    entries = []
    for job, title in JOB_TITLES.items():
        names = [n for n in results if CONTENDERS[n].job == job]
        if names:
            entries.append(("heading", title))
            entries.extend(("bar", n) for n in names)
    fig, ax = plt.subplots(figsize=(11, 0.48 * len(entries) + 1.6))
    top = max(r.mb_per_s for r in results.values())
    labels, positions = [], []
    for i, (kind, value) in enumerate(entries):
        y = len(entries) - 1 - i
        if kind == "heading":
            ax.text(0, y, value, fontsize=10, fontweight="bold", va="center", ha="left", color="#333333")
            continue
        contender, r = CONTENDERS[value], results[value]
        if value.startswith("csv_mendle"):
            colour, hatch = mendle_colour, None
        elif contender.floor:
            colour, hatch = floor_colour, None
        elif contender.repairs:
            colour, hatch = other_colour, None
        else:
            colour, hatch = peer_colour, "//"
        ax.barh(y, r.mb_per_s, color=colour, hatch=hatch, edgecolor="white" if hatch else colour, height=0.7)
        note = f"{r.mb_per_s:.0f} MB/s, peak {r.peak / r.size:.2g}x file"
        if r.rows_out is not None and not contender.repairs:
            what = contender.what.removeprefix("NO REPAIR: ").split(";")[0]
            note += f": {what}, {r.rows_out / r.rows_in:.1%} of rows out"
        ax.text(r.mb_per_s + top * 0.01, y, note, va="center", fontsize=8.5)
        label = value if contender.repairs or contender.floor else f"{value}\n(does not repair)"
        labels.append(label)
        positions.append(y)
    ax.set_yticks(positions, labels, fontsize=9)
    for tick, (kind, value) in zip(ax.get_yticklabels(), [e for e in entries if e[0] == "bar"]):
        if value.startswith("csv_mendle"):
            tick.set_fontweight("bold")
            tick.set_color(mendle_colour)
    ax.set_xlim(0, top * 1.45)
    ax.set_ylim(-0.7, len(entries) - 0.3)
    ax.set_xlabel("MB/s of input (higher is better)")
    ax.spines[["top", "right"]].set_visible(False)
    ax.grid(axis="x", alpha=0.3)
    ax.set_axisbelow(True)
    ax.legend(
        handles=[
            Patch(color=mendle_colour, label="csv_mendle"),
            Patch(color=other_colour, label="repairs too"),
            Patch(facecolor=peer_colour, hatch="//", edgecolor="white", label="does not repair (drops or truncates rows, or only reads)"),
            Patch(color=floor_colour, label="copy: the I/O floor"),
        ],
        loc="lower right",
        fontsize=8.5,
        frameon=False,
    )
    size = sizes.get("damaged") or next(iter(results.values())).size
    ax.set_title(
        f"MB/s on a {size / 1e6:.0f} MB CSV with {DAMAGED_SHARE:.0%} damaged rows\n"
        f"{host['cpus']} vCPU ({host['cpu_model']}), CPython {host['python']}, "
        f"{medians_of(results, runs)}",
        fontsize=11,
    )
    fig.tight_layout()
    fig.savefig(path, dpi=150)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=int, default=100)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument(
        "--pair-runs",
        type=int,
        default=None,
        help="rounds of the alternated damaged/clean mendle_file pair (default: --runs, at least 15)",
    )
    parser.add_argument("--only", default="", help="comma-separated contender names")
    parser.add_argument("--data-dir", default=None)
    parser.add_argument("--chart", default=None, help="write a PNG bar chart of MB/s here")
    parser.add_argument("--json", default=None, help="write the results as JSON here")
    args = parser.parse_args()
    if args.pair_runs is None:
        args.pair_runs = max(args.runs, 15)

    only = [n for n in args.only.split(",") if n]
    unknown = [n for n in only if n not in CONTENDERS]
    if unknown:
        parser.error(f"unknown contender(s) {unknown}; known: {list(CONTENDERS)}")
    chosen = [n for n in CONTENDERS if not only or n in only]
    skipped = {}
    for name in chosen:
        needs = CONTENDERS[name].needs
        if needs and importlib.util.find_spec(needs) is None:
            skipped[name] = (
                f"{needs} cannot be imported by {sys.executable}"
                " (./dev bench installs it with pip when it can)"
            )
    chosen = [n for n in chosen if n not in skipped]
    for name, why in skipped.items():
        print(f"skipping {name}: {why}", file=sys.stderr)

    data_dir = pathlib.Path(args.data_dir or tempfile.gettempdir())
    inputs = {"damaged": data_dir / f"csv_mendle_bench_{args.mb}mb.csv"}
    if any(CONTENDERS[n].clean_input for n in chosen):
        inputs["clean"] = data_dir / f"csv_mendle_bench_{args.mb}mb_clean.csv"
    for encoded in sorted({CONTENDERS[n].encoded for n in chosen} - {None}):
        inputs[f"accented {encoded}"] = data_dir / f"csv_mendle_bench_{args.mb}mb_accented_{encoded}.csv"
    for kind, path in inputs.items():
        if not path.exists() and not kind.startswith("accented"):
            print(f"generating {path} ...", file=sys.stderr)
            generate(path, args.mb, DAMAGED_SHARE if kind == "damaged" else 0.0)
    for kind, path in inputs.items():
        if not path.exists() and kind.startswith("accented"):
            print(f"generating {path} ...", file=sys.stderr)
            accented = inputs["damaged"].read_text(encoding="utf-8").translate(ACCENTS)
            path.write_bytes(accented.encode(kind.removeprefix("accented ")))
    for path in inputs.values():
        settle_in_page_cache(path)
    sizes = {kind: path.stat().st_size for kind, path in inputs.items()}

    # Each contender alone, except the alternating ones, together where the first of them stands.
    groups: list[list[str]] = []
    for name in chosen:
        together = next(
            (g for g in (ALTERNATE, ALTERNATE_THREADS, ALTERNATE_ENCODINGS, ALTERNATE_FRAMES) if name in g),
            (name,),
        )
        group = [n for n in chosen if n in together]
        if group[0] == name:
            groups.append(group)
    results: dict[str, Result] = {}
    failed: dict[str, str] = {}
    with tempfile.TemporaryDirectory() as out_dir:
        for group in groups:
            print(f"running {' and '.join(group)} ...", file=sys.stderr)
            runs = args.pair_runs if len(group) > 1 and group[0] not in ALTERNATE_FRAMES else args.runs
            results.update(measure(group, inputs, runs, out_dir, failed))

    host = machine()
    report(results, skipped, failed, sizes, args.runs, host)
    if args.json:
        to_json(args.json, results, skipped, failed, sizes, args.runs, host)
        print(f"results written to {args.json}")
    if args.chart and results:
        write_chart(args.chart, results, sizes, args.runs, host)
        print(f"chart written to {args.chart}")


if __name__ == "__main__":
    main()
