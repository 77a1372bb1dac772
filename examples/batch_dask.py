"""Repairs a folder of CSV files on a Dask cluster: one mendle_file task per file.

    python3 examples/batch_dask.py INPUT_DIR OUTPUT_DIR [--workers N] [--scheduler ADDRESS]

Without --scheduler a LocalCluster of N single-threaded worker processes runs
on this machine; with it, the same tasks go to an existing Dask scheduler
(for example tcp://scheduler:8786), whose workers must have csv_mendle
installed and see INPUT_DIR and OUTPUT_DIR at the same paths.

Each file is repaired into OUTPUT_DIR/NAME.mended.csv, its rows set aside
into OUTPUT_DIR/NAME.quarantine.csv.  One JSON line per file goes to stdout,
in the order of the file names: the summary's to_dict() (a MendleSummary
itself cannot be pickled, so it never leaves the worker) with the paths, or
the error of a file that failed.  The exit status is 1 if any file failed.
"""

import argparse
import json
import pathlib
import sys

from distributed import Client, LocalCluster, as_completed


def repair_one(input_path: str, output_dir: str) -> dict[str, object]:
    """Runs on a worker: repairs one file, returns plain data only."""
    import csv_mendle

    stem = pathlib.Path(input_path).stem
    output = str(pathlib.Path(output_dir, stem + ".mended.csv"))
    quarantine = str(pathlib.Path(output_dir, stem + ".quarantine.csv"))
    try:
        summary = csv_mendle.mendle_file(input_path, output, quarantine)
    except OSError as error:
        return {"input": input_path, "error": str(error)}
    return {"input": input_path, "output": output, "quarantine": quarantine, **summary.to_dict()}


def repair_folder(client: Client, input_dir: str, output_dir: str) -> list[dict[str, object]]:
    """Repairs every *.csv file of input_dir; returns the results in file-name order."""
    paths = sorted(str(path) for path in pathlib.Path(input_dir).glob("*.csv"))
    pathlib.Path(output_dir).mkdir(parents=True, exist_ok=True)
    # pure=False: a task's result depends on the file's contents, not only on its name.
    futures = client.map(repair_one, paths, output_dir=output_dir, pure=False)
    results: dict[str, dict[str, object]] = {}
    for _future, result in as_completed(futures, with_results=True):
        results[result["input"]] = result
        print(f"done: {result['input']}", file=sys.stderr)
    return [results[path] for path in paths]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input_dir")
    parser.add_argument("output_dir")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default: 2)")
    parser.add_argument("--scheduler", help="address of an existing Dask scheduler")
    args = parser.parse_args()

    # Processes, one thread each: mendle_file holds the interpreter lock for a whole file.
    cluster = None if args.scheduler else LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
    )
    try:
        with Client(args.scheduler or cluster) as client:
            results = repair_folder(client, args.input_dir, args.output_dir)
    finally:
        if cluster is not None:
            cluster.close()

    for result in results:
        print(json.dumps(result))
    return 1 if any("error" in result for result in results) else 0


if __name__ == "__main__":
    sys.exit(main())
