"""Repairs the damaged sample shipped with csv_mendle and shows the result."""

import pathlib
import sys
import tempfile

import csv_mendle

sample = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("damaged.csv"))
text = sample.read_text(encoding="utf-8-sig", errors="replace")
print(f"--- input: {sample}")
print(text)
print(f"sniffed delimiter: {csv_mendle.sniff(text)!r}")


def show(title: str, **options: object) -> None:
    with tempfile.TemporaryDirectory() as folder:
        output = pathlib.Path(folder, "mended.csv")
        quarantine = pathlib.Path(folder, "quarantine.csv")
        summary = csv_mendle.mendle_file(str(sample), str(output), str(quarantine), **options)
        print(f"\n=== {title}\n{summary!r}")
        for path in (output, quarantine):
            print(f"--- {path.name}")
            for line in path.read_text(encoding="utf-8").splitlines()[:12]:
                print(line)


show("repair everything (the defaults)")
show("set ragged rows aside instead", fill_ragged_rows=False, merge_overflow=False)

print("\n=== the repaired rows through the reader")
with csv_mendle.open(str(sample)) as reader:
    for row in reader:
        print(row)
    print(f"{len(reader)} rows, {reader.summary.inferred_columns} columns each")
