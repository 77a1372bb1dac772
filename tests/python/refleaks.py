"""Reference and memory-block drift of every entry point, on a debug
interpreter (run by `./dev refleaks`, not by pytest).

Each case is one call of the module, on its success path or one of its
error paths.  As CPython's own `-R` option does, a case runs in rounds of
many calls: a few rounds warm the interpreter's caches, then each measured
round records how much sys.gettotalrefcount() and sys.getallocatedblocks()
grew.  A case leaks when every measured round grew: a reference or a block
kept per call shows in every round, while a cache filling up or a free list
settling shows in some rounds only."""

import gc
import gzip
import io
import os
import pathlib
import sys
import tempfile
import time
from collections.abc import Callable

import csv_mendle
from csv_mendle import _csv_mendle as package
from csv_mendle import _csv_mendle_backend as backend

WARMUP_ROUNDS = 3
MEASURED_ROUNDS = 5
CALLS_PER_ROUND = 60


def make_inputs(directory: str) -> dict[str, str]:
    damaged = os.path.join(directory, "damaged.csv")
    with open(damaged, "wb") as file:
        rows = [f'r{i},"é{i}, ""q""",x\n' if i % 7 else f'r{i},"said "hi" there\n' for i in range(60)]
        file.write("".join(rows).encode() + b"\xff\xfe,a,b,c,d\n")
    return {
        "input": damaged,
        "output": os.path.join(directory, "out.csv"),
        "quarantine": os.path.join(directory, "q.csv"),
        "missing": os.path.join(directory, "missing.csv"),
        "missing_dir": os.path.join(directory, "none", "out.csv"),
        "directory": directory,
        "nul": os.path.join(directory, "bad\x00.csv"),
    }


def raising(call: Callable[[], object], error: type[BaseException]) -> Callable[[], None]:
    """The call, which must raise exactly `error`."""

    def run() -> None:
        try:
            call()
        except error as caught:
            if type(caught) is not error:
                raise
        else:
            raise AssertionError(f"{error.__name__} was not raised")

    return run


def reader_cases(p: dict[str, str], name: str) -> dict[str, Callable[[], object]]:
    make: Callable[..., backend.MendleReader] = getattr(backend, name)

    def partly() -> object:
        reader = make(p["input"], expected_columns=3)
        return next(reader), len(reader)

    def to_the_end() -> object:
        reader = make(p["input"])
        return list(reader), reader.__exit__(1, 2, 3)

    def within() -> object:
        with make(p["input"], ";", "'") as reader:
            return next(reader), iter(reader) is reader, reader.summary

    return {
        f"{name}: dropped unread": lambda: make(p["input"]),
        f"{name}: partly read": partly,
        f"{name}: read to the end": to_the_end,
        f"{name}: with-statement": within,
        f"{name}: missing file": raising(lambda: make(p["missing"]), FileNotFoundError),
        f"{name}: a directory": raising(lambda: make(p["directory"]), IsADirectoryError),
        f"{name}: NUL in the path": raising(lambda: make(p["nul"]), OSError),
        f"{name}: absurd width": raising(lambda: make(p["input"], expected_columns=10**12), MemoryError),
    }


def summary_cases(p: dict[str, str]) -> dict[str, Callable[[], object]]:
    summary = backend.open(p["input"]).summary
    return {
        "summary: attributes": lambda: (summary.total_rows, summary.mendled_rows, summary.repaired_rows,
                                        summary.quarantined_rows, summary.detected_delimiter, summary.inferred_columns),
        "summary: to_dict and repr": lambda: (summary.to_dict(), repr(summary)),
    }


def mendle_file_cases(p: dict[str, str]) -> dict[str, Callable[[], object]]:
    def repair(**options: object) -> Callable[[], object]:
        return lambda: backend.mendle_file(p["input"], p["output"], p["quarantine"], **options)  # type: ignore[arg-type]

    return {
        "mendle_file: repairs": repair(delimiter=",;", quote_char="\"'", fill_ragged_rows=False, expected_columns=3),
        "mendle_file: missing input": raising(lambda: backend.mendle_file(p["missing"], p["output"]), OSError),
        "mendle_file: NUL in the path": raising(lambda: backend.mendle_file(p["nul"], p["output"]), OSError),
        "mendle_file: quarantine is output": raising(
            lambda: backend.mendle_file(p["input"], p["output"], p["output"]), OSError),
        "mendle_file: absurd width": raising(repair(expected_columns=10**12), MemoryError),
        "sniff": lambda: backend.sniff("a;b\nc;d\n"),
    }


# (what, positional arguments, keyword arguments, the error) for every way a
# reader's arguments are refused.
Refusal = tuple[str, tuple[object, ...], dict[str, object], type[BaseException]]


def refusals(path: str) -> list[Refusal]:
    return [
        ("path not a str", (3,), {}, TypeError),
        ("path with a lone surrogate", ("\ud800",), {}, UnicodeEncodeError),
        ("delimiter not a str", (path,), {"delimiter": 3}, TypeError),
        ("quote_char None", (path,), {"quote_char": None}, TypeError),
        ("flag given as int", (path,), {"fill_ragged_rows": 1}, TypeError),
        ("count negative", (path,), {"expected_columns": -1}, OverflowError),
        ("count too large", (path,), {"expected_columns": 2**64}, OverflowError),
        ("count not an integer", (path,), {"expected_columns": "3"}, TypeError),
        ("missing argument", (), {}, TypeError),
        ("too many arguments", (path,) * 8, {}, TypeError),
        ("given twice", (path,), {"file_path": path}, TypeError),
        ("unknown keyword, suggested", (path,), {"delimeter": ","}, TypeError),
        ("unknown keyword", (path,), {"colour": ","}, TypeError),
    ]


def argument_cases(p: dict[str, str], name: str) -> dict[str, Callable[[], object]]:
    """Every refusal, through `name`: `open` has the fast-call argument
    parser, the class the tuple-and-dict one."""
    make: Callable[..., object] = getattr(backend, name)

    def refused(args: tuple[object, ...], kwargs: dict[str, object], error: type[BaseException]) -> Callable[[], None]:
        return raising(lambda: make(*args, **kwargs), error)

    return {f"{name}: {what}": refused(args, kwargs, error) for what, args, kwargs, error in refusals(p["input"])}


def other_argument_cases(p: dict[str, str]) -> dict[str, Callable[[], object]]:
    anything: Callable[..., object] = backend.mendle_file
    sniff: Callable[..., object] = backend.sniff

    def exit_with_four() -> object:
        leave: Callable[..., object] = backend.open(p["input"]).__exit__
        return leave(1, 2, 3, 4)

    return {
        "mendle_file: output not a str": raising(lambda: anything(p["input"], None), TypeError),
        "sniff: not a str": raising(lambda: sniff(3), TypeError),
        "sniff: unknown keyword": raising(lambda: sniff(text="a"), TypeError),
        "__exit__: too many arguments": raising(exit_with_four, TypeError),
    }


def package_cases(p: dict[str, str]) -> dict[str, Callable[[], object]]:
    """The package's own module, and its Python layer once."""

    def repair(source: object = p["input"], output: object = p["output"], quarantine: object = p["quarantine"],
               **options: object) -> Callable[[], object]:
        return lambda: package.repair(source, output, quarantine, **options)  # type: ignore[arg-type]

    def read(**options: object) -> Callable[[], object]:
        return lambda: package.read(p["input"], **options)  # type: ignore[arg-type]

    packed = gzip.compress(pathlib.Path(p["input"]).read_bytes())

    def partly() -> object:
        rows, result, _ = package.read(p["input"], expected_columns=3)
        return next(rows), len(rows), iter(rows), result

    def stream_after_rows(**options: object) -> Callable[[], object]:
        def run() -> object:
            rows, _, _ = package.read(p["input"], **options)  # type: ignore[arg-type]
            return next(rows), rows.__arrow_c_stream__(None), list(rows), rows.__arrow_c_schema__()
        return run

    def stream_twice() -> object:
        rows, _, _ = package.read(p["input"])
        rows.__arrow_c_stream__()
        return rows.__arrow_c_stream__()

    def through_the_package() -> object:
        with csv_mendle.read(pathlib.Path(p["input"])) as reader:
            return list(reader), reader.result.to_dict()

    return {
        "repair: repairs": repair(delimiter=",;", quote_char="\"'", fill_ragged_rows=False, expected_columns=3),
        "repair: bytes and PathLike paths": repair(os.fsencode(p["input"]), pathlib.Path(p["output"]), None),
        "repair: missing input": raising(repair(p["missing"]), FileNotFoundError),
        "repair: output in a missing directory": raising(repair(output=p["missing_dir"]), FileNotFoundError),
        "repair: quarantine is output": raising(repair(quarantine=p["output"]), ValueError),
        "repair: NUL in the path": raising(repair(output=p["nul"]), ValueError),
        "repair: path not a path": raising(repair(output=3), TypeError),
        "repair: absurd width": raising(repair(expected_columns=10**12), MemoryError),
        "read: dropped unread": read(),
        "read: partly read": partly,
        "read: read to the end": lambda: list(package.read(p["input"], ";", "'")[0]),
        "read: a directory": raising(lambda: package.read(p["directory"]), IsADirectoryError),
        "repair: a bytearray, gzip-compressed": repair(bytearray(packed)),
        "read: a binary file object": lambda: package.read(io.BytesIO(packed)),
        "read: a text file object": raising(
            lambda: package.read(io.StringIO("a,b\n")), TypeError),  # type: ignore[arg-type]
        "read: gzip cut short": raising(lambda: package.read(memoryview(packed)[:-5]), ValueError),
        "repair: source neither path nor data": raising(repair(source=3), TypeError),
        "read: absurd width": raising(read(expected_columns=10**12), MemoryError),
        "read: flag given as int": raising(read(fill_ragged_rows=1), TypeError),
        "__arrow_c_stream__: dropped unconsumed": lambda: package.read(p["input"])[0].__arrow_c_stream__(),
        "__arrow_c_stream__: after a row, then the schema": stream_after_rows(),
        "__arrow_c_stream__: ragged rows": stream_after_rows(expected_columns=0),
        "__arrow_c_stream__: named by a header, quote sniffed": stream_after_rows(header=True, sniff_quote=True),
        "__arrow_c_stream__: taken twice": raising(stream_twice, RuntimeError),
        "__arrow_c_stream__: unknown keyword": raising(
            lambda: package.read(p["input"])[0].__arrow_c_stream__(schema=None), TypeError),  # type: ignore[call-arg]
        "__arrow_c_schema__": lambda: package.read(p["input"])[0].__arrow_c_schema__(),
        "sniff_dialect": lambda: package.sniff_dialect(memoryview(b"a;'b;c'\nd;e\n"), "'"),
        "sniff_dialect: not bytes": raising(lambda: package.sniff_dialect("a;b"), TypeError),  # type: ignore[arg-type]
        "csv_mendle.read": through_the_package,
    }


def all_cases(p: dict[str, str]) -> dict[str, Callable[[], object]]:
    cases = summary_cases(p) | mendle_file_cases(p) | other_argument_cases(p) | package_cases(p)
    for name in ("open", "MendleReader"):
        cases |= reader_cases(p, name) | argument_cases(p, name)
    return cases


def clean() -> tuple[int, int]:
    """The totals after everything collectable is gone and the interpreter's
    caches are emptied, so that only what a call kept remains."""
    clear_caches = getattr(sys, "_clear_internal_caches", None)
    if clear_caches is not None:
        clear_caches()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def drift(call: Callable[[], object]) -> tuple[list[int], list[int]]:
    """Growth of (references, blocks) over each measured round."""
    # Preallocated and holding small ints only: recording a round changes
    # neither total.
    references = [0] * MEASURED_ROUNDS
    blocks = [0] * MEASURED_ROUNDS
    calls = range(CALLS_PER_ROUND)
    references_before, blocks_before = clean()
    for round_number in range(WARMUP_ROUNDS + MEASURED_ROUNDS):
        for _ in calls:
            call()
        references_after, blocks_after = clean()
        if round_number >= WARMUP_ROUNDS:
            references[round_number - WARMUP_ROUNDS] = references_after - references_before
            blocks[round_number - WARMUP_ROUNDS] = blocks_after - blocks_before
        references_before, blocks_before = references_after, blocks_after
    return references, blocks


def steady(deltas: list[int]) -> bool:
    return all(delta >= 1 for delta in deltas) or all(delta <= -1 for delta in deltas)


def module_counts_its_references(p: dict[str, str]) -> bool:
    # iter() of a reader hands back the reader itself: one reference taken by
    # the module, dropped by the interpreter.  A module compiled without
    # Py_DEBUG takes it uncounted, and the total falls by one per call.
    reader = backend.open(p["input"])
    before, _ = clean()
    for _ in range(1000):
        iter(reader)
    after, _ = clean()
    return abs(after - before) < 500


def main() -> int:
    if not hasattr(sys, "gettotalrefcount"):
        print("refleaks: needs a debug interpreter (sys.gettotalrefcount)", file=sys.stderr)
        return 2
    started = time.monotonic()
    with tempfile.TemporaryDirectory() as directory:
        p = make_inputs(directory)
        if not module_counts_its_references(p):
            print("refleaks: the module was not compiled for this interpreter's debug ABI "
                  "(no Py_DEBUG): its reference operations go uncounted", file=sys.stderr)
            return 1
        cases = all_cases(p)
        leaks = []
        for name, call in cases.items():
            references, blocks = drift(call)
            if steady(references) or steady(blocks):
                leaks.append(f"  {name}: references {references}, blocks {blocks} per round of {CALLS_PER_ROUND} calls")
    elapsed = time.monotonic() - started
    if leaks:
        print(f"refleaks: {len(leaks)} of {len(cases)} cases drift:", *leaks, sep="\n", file=sys.stderr)
        return 1
    print(f"refleaks: {len(cases)} cases, no drift of references or blocks ({elapsed:.1f}s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
