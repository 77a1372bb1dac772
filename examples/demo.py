"""Repairs the damaged sample shipped with csv_mendle and shows the result."""

import pathlib
import sys
import tempfile

import csv_mendle

sample = pathlib.Path(__file__).with_name("damaged.csv")
if len(sys.argv) > 1:
    sample = pathlib.Path(sys.argv[1])

print(f"input: {sample}")
print(sample.read_text(encoding="utf-8", errors="replace"))
print(f"sniffed delimiter: {csv_mendle.sniff(sample.read_text(encoding='utf-8', errors='replace'))!r}")

with tempfile.TemporaryDirectory() as folder:
    output = pathlib.Path(folder, "mended.csv")
    quarantine = pathlib.Path(folder, "quarantine.csv")
    summary = csv_mendle.mendle_file(str(sample), str(output), str(quarantine))
    print(f"\n{summary!r}\n")
    for path in (output, quarantine):
        print(f"--- {path.name} (first lines)")
        for line in path.read_text(encoding="utf-8").splitlines()[:10]:
            print(line)

    print("\n--- the same rows through the reader")
    with csv_mendle.open(str(sample)) as reader:
        for row in reader:
            print(row)
