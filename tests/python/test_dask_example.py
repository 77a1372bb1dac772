"""examples/batch_dask.py repairs a folder on a local Dask cluster and
collects each file's summary."""

import importlib.util
import json
import os
import pathlib
import subprocess
import sys

import pytest

import csv_mendle

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "batch_dask.py"
PACKAGE_ROOT = str(pathlib.Path(csv_mendle.__file__).resolve().parents[1])

pytestmark = pytest.mark.skipif(
    not EXAMPLE.exists() or any(importlib.util.find_spec(name) is None for name in ("dask", "distributed")),
    reason="needs dask and distributed, and the examples folder",
)


def test_every_csv_file_is_repaired_by_a_task_and_its_summary_collected(tmp_path):
    inputs, outputs, reference = tmp_path / "in", tmp_path / "out", tmp_path / "reference"
    inputs.mkdir()
    reference.mkdir()
    contents = {
        "a.csv": "id;name\n1;Ada\n2\n3;Alan;Turing\n",
        "b.csv": 'x,y,z\n1,"two "quoted" words",3\n',
        "c.csv": "",
    }
    for name, text in contents.items():
        (inputs / name).write_text(text, encoding="utf-8")
    (inputs / "broken.csv").mkdir()  # named like a CSV file, but a folder: its task fails
    (inputs / "notes.txt").write_text("not a CSV file\n", encoding="utf-8")

    environment = os.environ | {"PYTHONPATH": os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))}
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), str(inputs), str(outputs), "--workers", "2"],
        cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 1, result.stderr  # one file failed
    results = [json.loads(line) for line in result.stdout.splitlines()]
    assert [entry["input"] for entry in results] == [str(inputs / name) for name in ("a.csv", "b.csv", "broken.csv", "c.csv")]
    assert results[2] == {"input": str(inputs / "broken.csv"), "error": f"{os.strerror(21)} (os error 21)"}

    for entry in results[:2] + results[3:]:
        stem = pathlib.Path(entry["input"]).stem
        output, quarantine = reference / f"{stem}.csv", reference / f"{stem}.q.csv"
        summary = csv_mendle.mendle_file(entry["input"], str(output), str(quarantine))
        assert entry == {
            "input": entry["input"],
            "output": str(outputs / f"{stem}.mended.csv"),
            "quarantine": str(outputs / f"{stem}.quarantine.csv"),
            **summary.to_dict(),
        }
        assert pathlib.Path(entry["output"]).read_bytes() == output.read_bytes()
        assert pathlib.Path(entry["quarantine"]).read_bytes() == quarantine.read_bytes()
