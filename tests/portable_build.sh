#!/usr/bin/env bash
# Builds everything with the portable byte loops in place of the SSE2 and
# AVX2 scans (CSV_MENDLE_PORTABLE=ON, in build/portable) and runs the C++
# tests on it, then the Python tests on its extension (arguments go to
# pytest).  The portable loops are what processors without SSE2 run; this
# keeps them compiling warning-free and correct on x86-64.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ -z "${CSV_MENDLE_IN_ROOT:-}" ]; then
  exec "$here/dev" run "$here/tests/portable_build.sh" "$@"
fi
py=python3.14
jobs=$(nproc)
dir="$here/build/portable"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$dir" -G Ninja -DPython_EXECUTABLE="$(command -v $py)" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCSV_MENDLE_PORTABLE=ON >/dev/null
fi
cmake --build "$dir" -j "$jobs"
(cd "$dir" && ctest --output-on-failure -j "$jobs")
PYTHONPATH="$dir/python" "$py" -m pytest -q "$here/tests/python" "$@"
