"""Leaks and threads: every API function, called many times, keeps memory and
reference counts flat; concurrent repairs do not disturb each other; and
threads sharing one reader never receive a row twice or lose one."""

import collections
import concurrent.futures
import gc
import os
import sys
import threading
import tracemalloc

import pytest

from csv_mendle import _csv_mendle_backend as backend

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def fresh(text):
    """An equal str that is a new, mortal object, so its reference count
    shows whether a call kept a reference to it."""
    return "".join(list(text))


@pytest.fixture
def workload(tmp_path):
    """One round of every public function and member, on its success and its
    failure paths."""
    damaged = tmp_path / "damaged.csv"
    damaged.write_bytes(
        "".join(f'r{i},"é{i}, ""q""",{"x" * 30}\n' if i % 7 else f'r{i},"said "hi" there\n' for i in range(400)).encode()
        + b"\xff\xfe,a,b,c,d\n"
    )
    arguments = {
        "input": fresh(str(damaged)),
        "output": fresh(str(tmp_path / "out.csv")),
        "quarantine": fresh(str(tmp_path / "q.csv")),
        "missing": fresh(str(tmp_path / "missing.csv")),
        "nul": fresh(str(tmp_path / "bad\x00.csv")),
        "delimiter": fresh(",;"),
        "quote": fresh("\"'"),
        "sample": fresh("a;b\nc;d\n" * 20),
    }

    def run():
        a = arguments
        backend.sniff(a["sample"])
        summary = backend.mendle_file(a["input"], a["output"], a["quarantine"], delimiter=a["delimiter"],
                                      quote_char=a["quote"], fill_ragged_rows=False, expected_columns=3)
        summary.to_dict(), repr(summary), summary.detected_delimiter, summary.total_rows
        for call in (lambda: backend.mendle_file(a["missing"], a["output"]),
                     lambda: backend.mendle_file(a["nul"], a["output"]),
                     lambda: backend.open(a["missing"]),
                     lambda: backend.MendleReader(a["nul"]),
                     lambda: backend.open(a["input"], fill_ragged_rows=1),  # type: ignore[arg-type]
                     lambda: backend.mendle_file(a["input"], a["output"], expected_columns=-1),
                     lambda: backend.mendle_file(a["input"], a["output"], expected_columns=10**12)):
            try:
                call()
            except (OSError, TypeError, OverflowError, MemoryError):
                pass
        with backend.open(a["input"], a["delimiter"], a["quote"]) as reader:
            rows = list(reader)
            len(reader), reader.summary.to_dict(), reader.summary, iter(reader)
        partly = backend.MendleReader(a["input"], expected_columns=2)
        next(partly)
        partly.__exit__(None, None, None)
        backend.open(a["input"])  # dropped without iterating
        return rows

    return run, arguments


def test_every_function_keeps_reference_counts_and_python_memory_flat(workload):
    run, arguments = workload
    for _ in range(20):
        run()
    gc.collect()
    counts = {name: sys.getrefcount(value) for name, value in arguments.items()}
    types = [sys.getrefcount(t) for t in (backend.MendleReader, backend.MendleSummary)]
    tracemalloc.start()
    try:
        for _ in range(10):
            run()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(100):
            run()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # A leaked list, str or exception per round would add tens of kilobytes.
    assert grown < 16 * 1024, f"Python allocations grew by {grown} bytes"
    assert {name: sys.getrefcount(value) for name, value in arguments.items()} == counts
    assert [sys.getrefcount(t) for t in (backend.MendleReader, backend.MendleSummary)] == types


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer keeps freed memory in quarantine")
def test_every_function_keeps_resident_memory_flat(workload):
    # Each round builds about 40 kB of native rows, several times over: a
    # native leak of any of them grows by megabytes over the rounds.
    run, _ = workload
    for _ in range(50):
        run()
    gc.collect()
    before = resident_bytes()
    for _ in range(400):
        run()
    gc.collect()
    grown = resident_bytes() - before
    assert grown < 4 * 1024 * 1024, f"resident memory grew by {grown} bytes"


# ---- threads ----


def distinct_inputs(tmp_path, count):
    """Files that differ in delimiter, width, damage and size."""
    paths = []
    for k in range(count):
        delimiter = ",;\t|"[k % 4]
        width = 2 + k % 5
        lines = []
        for i in range(200 + 37 * k):
            n = width if i % (3 + k) else width + (-1) ** i
            lines.append(delimiter.join(f'{k}.{i}.{j}{"\"" if (i + j) % 11 == 0 else ""}' for j in range(n)))
        path = tmp_path / f"input{k}.csv"
        path.write_text("\n".join(lines) + "\n")
        paths.append(str(path))
    return paths


@pytest.fixture
def fast_switching():
    # Hand the interpreter lock over as often as possible, so that threads
    # interleave between (and, without the lock, inside) the calls.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_concurrent_repairs_of_different_files_give_the_sequential_results(tmp_path, fast_switching):
    inputs = distinct_inputs(tmp_path, 8)

    def repair(k, round_number):
        output = tmp_path / f"out{k}.{round_number}.csv"
        quarantine = tmp_path / f"q{k}.{round_number}.csv"
        summary = backend.mendle_file(inputs[k], str(output), str(quarantine), fill_ragged_rows=k % 2 == 0)
        rows = list(backend.open(inputs[k], fill_ragged_rows=k % 2 == 0))
        return summary.to_dict(), output.read_bytes(), quarantine.read_bytes(), rows

    expected = [repair(k, "alone") for k in range(len(inputs))]
    assert len({e[1] for e in expected}) == len(inputs)
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        futures = {pool.submit(repair, k, r): k for r in range(3) for k in range(len(inputs))}
        for future in concurrent.futures.as_completed(futures):
            assert future.result() == expected[futures[future]]


def test_threads_sharing_one_reader_never_get_a_row_twice(tmp_path, fast_switching):
    path = tmp_path / "shared.csv"
    path.write_text("".join(f"{i},é{i},\"x,{i}\"\n" for i in range(20000)))
    expected = collections.Counter(tuple(row) for row in backend.open(str(path)))
    assert len(expected) == 20000
    reader = backend.open(str(path))
    start = threading.Barrier(4)
    received: list[list[tuple[str, ...]]] = [[] for _ in range(4)]
    refusals: collections.Counter[str] = collections.Counter()

    def take(into):
        start.wait()
        while True:
            try:
                row = next(reader)
            except StopIteration:
                return
            except RuntimeError as refusal:  # a true overlap, without the interpreter lock
                assert str(refusal) == "Already borrowed"
                refusals[str(refusal)] += 1
                continue
            into.append(tuple(row))
            if len(into) % 1000 == 0:
                try:
                    assert len(reader) == 20000
                except RuntimeError as refusal:
                    assert str(refusal) == "Already mutably borrowed"

    threads = [threading.Thread(target=take, args=(into,)) for into in received]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert collections.Counter(row for into in received for row in into) == expected
    for into in received:  # each thread saw its rows in file order
        assert into == sorted(into, key=lambda row: int(row[0]))
    assert sum(1 for into in received if into) >= 2, "the threads did not interleave"
    with pytest.raises(StopIteration):
        next(reader)
