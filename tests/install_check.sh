#!/usr/bin/env bash
# Shows that a user with Python 3.14 can install the package with pip:
#  1. `pip install .` with build isolation (the build backend fetched from PyPI);
#  2. `pip install --no-build-isolation --no-index .` offline, with the
#     scikit-build-core that the system provides.
# Each install goes into a fresh venv, and the installed module must import
# from site-packages (not from the source tree) and repair a file.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

smoke() { # VENV
  (cd "$work" && "$1/bin/python" - <<'PY'
import os, tempfile, csv_mendle
from csv_mendle import _csv_mendle_backend as backend
assert "site-packages" in backend.__file__, backend.__file__
assert backend.__file__.endswith(".cpython-314-x86_64-linux-gnu.so") or ".cpython-314" in backend.__file__
assert csv_mendle.sniff("a;b\nc;d\n") == ";"
with tempfile.TemporaryDirectory() as d:
    src = os.path.join(d, "in.csv")
    with open(src, "w") as f:
        f.write("a,b,c\n1,2\n3,4,5,6\n")
    s = csv_mendle.mendle_file(src, os.path.join(d, "out.csv"))
    assert (s.total_rows, s.repaired_rows) == (3, 2), s
print("ok:", backend.__file__)
PY
  )
}

echo "== pip install . (build isolation, backend from PyPI)"
python3.14 -m venv "$work/isolated"
"$work/isolated/bin/pip" install -q "$here"
smoke "$work/isolated"

echo "== pip install --no-build-isolation --no-index . (offline, system scikit-build-core)"
python3.14 -m venv --system-site-packages "$work/offline"
"$work/offline/bin/pip" install -q --no-build-isolation --no-index "$here"
smoke "$work/offline"
