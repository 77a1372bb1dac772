"""End-to-end benchmark of csv_mendle against what a Python user would do instead.

Generates a damaged CSV of about 100 MB (fixed seed), then runs every
contender several times, each run in a fresh process, and prints MB/s, the
ratio to csv_mendle's own figure and the peak memory over the file size.

    python bench/bench_python.py [--mb 100] [--runs 3] [--only NAME,...]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import textwrap

CONTENDERS = {
    # name: (what it does, code run in a fresh process; `src`, `dst`, `quarantine` are paths)
    "copy (floor)": (
        "read the whole file, write it out",
        """
        with open(src, "rb") as f:
            data = f.read()
        with open(dst, "wb") as f:
            f.write(data)
        """,
    ),
    "csv_mendle.mendle_file": (
        "repair, write output and quarantine",
        """
        import csv_mendle
        csv_mendle.mendle_file(src, dst, quarantine)
        """,
    ),
    "stdlib csv repair": (
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
    ),
    "pandas read_csv(skip)+to_csv": (
        "drops bad rows, does not repair",
        """
        import pandas
        pandas.read_csv(src, on_bad_lines="skip", dtype=str, keep_default_na=False).to_csv(dst, index=False)
        """,
    ),
    "csv_mendle.MendleReader iterate": (
        "repair in memory, iterate every row",
        """
        import csv_mendle
        for row in csv_mendle.MendleReader(src):
            pass
        """,
    ),
    "stdlib csv.reader iterate": (
        "iterate only, no repair",
        """
        import csv
        with open(src, newline="", encoding="utf-8", errors="replace") as f:
            for row in csv.reader(f):
                pass
        """,
    ),
    "stdlib list(csv.reader)": (
        "all rows in memory, no repair",
        """
        import csv
        with open(src, newline="", encoding="utf-8", errors="replace") as f:
            rows = list(csv.reader(f))
        """,
    ),
}


def generate(path: pathlib.Path, megabytes: int, damaged_share: float = 0.05) -> None:
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


def run_once(code: str, src: str, dst: str, quarantine: str) -> tuple[float, int]:
    program = (
        "import time, sys\n"
        f"src, dst, quarantine = {src!r}, {dst!r}, {quarantine!r}\n"
        "t0 = time.perf_counter()\n"
        + textwrap.dedent(code)
        + "\nsys.stdout.write(repr(time.perf_counter() - t0))\n"
    )
    proc = subprocess.Popen([sys.executable, "-c", program], stdout=subprocess.PIPE)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"contender failed with status {proc.returncode}")
    return float(out), usage.ru_maxrss * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=int, default=100)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--only", default="", help="comma-separated contender names")
    parser.add_argument("--data-dir", default=None)
    args = parser.parse_args()

    data_dir = pathlib.Path(args.data_dir or tempfile.gettempdir())
    src = data_dir / f"csv_mendle_bench_{args.mb}mb.csv"
    if not src.exists():
        print(f"generating {src} ...", file=sys.stderr)
        generate(src, args.mb)
    size = src.stat().st_size
    chosen = [n for n in CONTENDERS if not args.only or n in args.only.split(",")]

    results = {}
    with tempfile.TemporaryDirectory() as out_dir:
        dst = os.path.join(out_dir, "out.csv")
        quarantine = os.path.join(out_dir, "quarantine.csv")
        for name in chosen:
            times, peaks = [], []
            for _ in range(args.runs):
                # Every run writes new files: truncating the previous run's
                # output costs time that no user pays twice in a row.
                for path in (dst, quarantine):
                    if os.path.exists(path):
                        os.unlink(path)
                seconds, peak = run_once(CONTENDERS[name][1], str(src), dst, quarantine)
                times.append(seconds)
                peaks.append(peak)
            results[name] = (statistics.median(times), max(peaks))

    print(f"\nfile: {size / 1e6:.1f} MB, median of {args.runs} fresh processes each\n")
    reference = {
        "copy (floor)": "csv_mendle.mendle_file",
        "stdlib csv repair": "csv_mendle.mendle_file",
        "pandas read_csv(skip)+to_csv": "csv_mendle.mendle_file",
        "stdlib csv.reader iterate": "csv_mendle.MendleReader iterate",
        "stdlib list(csv.reader)": "csv_mendle.MendleReader iterate",
    }
    print(f"{'contender':34} {'MB/s':>8} {'peak/file':>10}  {'csv_mendle speed-up':>20}  what it does")
    for name, (seconds, peak) in results.items():
        ref = reference.get(name)
        ratio = f"{seconds / results[ref][0]:.2f}x" if ref in results else ""
        print(f"{name:34} {size / 1e6 / seconds:8.1f} {peak / size:9.2f}x  {ratio:>20}  {CONTENDERS[name][0]}")


if __name__ == "__main__":
    main()
