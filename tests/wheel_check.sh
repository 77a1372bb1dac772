#!/usr/bin/env bash
# Shows that the wheel is complete and installs beyond this machine: builds
# it as a packager would (`python -m build --no-isolation --wheel`, offline,
# with the system's scikit-build-core), checks that each extension module
# carries its own C++ runtime and exports only its PyInit_*, has auditwheel
# give it the manylinux tag its glibc symbols allow, installs that wheel into
# a fresh venv, and runs the Python test suite against the installed
# package, from a folder where neither the source tree nor a build tree is
# importable.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH

the_wheel() { # FOLDER NAME-PATTERN: sets $wheel to the one wheel in $work/FOLDER
  local wheels=("$work/$1"/*.whl)
  [ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel in $1, got: ${wheels[*]}"; exit 1; }
  wheel=${wheels[0]}
  # shellcheck disable=SC2254
  case "$(basename "$wheel")" in
    $2) ;;
    *) echo "$(basename "$wheel") is not named $2"; exit 1 ;;
  esac
}

echo "== python3.14 -m build --no-isolation --wheel"
python3.14 -m build --no-isolation --wheel --outdir "$work/dist" "$here" >"$work/build.log" 2>&1 || {
  cat "$work/build.log"; exit 1; }
the_wheel dist 'csv_mendle-*-cp314-cp314-*.whl'
echo "built $(basename "$wheel")"

echo "== the extension modules: what they need, what they export"
mkdir "$work/unpacked"
python3.14 -m zipfile -e "$wheel" "$work/unpacked"
for so in "$work"/unpacked/csv_mendle/*.so; do
  name=$(basename "$so"); name=${name%%.*}
  needed=$(objdump -p "$so" | awk '$1 == "NEEDED" { print $2 }' | tr '\n' ' ')
  versions=$(objdump -T "$so" | grep -o '(GLIBC[A-Z]*_[0-9.]*)\|(CXXABI_[0-9.]*)' | tr -d '()' | sort -u -V | tr '\n' ' ')
  exported=$(nm -D --defined-only "$so" | awk '{ print $3 }' | tr '\n' ' ')
  echo "$name: needs $needed"
  echo "$name: versions $versions"
  case " $needed" in *" libstdc++"*)
    echo "$name links libstdc++ dynamically (no static libstdc++ here?)"; exit 1 ;;
  esac
  [ "$exported" = "PyInit_$name " ] || { echo "$name exports more than PyInit_$name: $exported"; exit 1; }
done

echo "== auditwheel"
auditwheel show "$wheel" 2>/dev/null | tr '\n' ' ' | tr -s ' ' | sed 's/^ //; s/ This constrains.*//; s/$/\n/'
auditwheel repair --wheel-dir "$work/wheelhouse" "$wheel" >"$work/repair.log" 2>&1 || {
  cat "$work/repair.log"; exit 1; }
# The oldest glibc that the modules' symbols allow (src/python/old_glibc.cpp
# keeps it there); a call that needs a newer one fails here.
the_wheel wheelhouse '*[-.]manylinux_2_17_x86_64.whl'
# The wheel to install elsewhere, alone in its folder.
rm -rf "$here/build/wheel" && mkdir -p "$here/build/wheel" && cp "$wheel" "$here/build/wheel/"
echo "repaired build/wheel/$(basename "$wheel")"

echo "== install into a fresh venv (with the system's pytest, numpy, hypothesis, mypy, dask)"
python3.14 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-index --no-deps "$wheel"

cd "$work"
"$work/venv/bin/python" - "$work/venv" <<'PY'
import importlib.metadata, pathlib, sys, csv_mendle
from csv_mendle import _csv_mendle, _csv_mendle_backend as backend
venv = pathlib.Path(sys.argv[1])
for module in (csv_mendle, backend, _csv_mendle):
    assert pathlib.Path(module.__file__).is_relative_to(venv), module.__file__
package = pathlib.Path(csv_mendle.__file__).parent
for name in ("py.typed", "_csv_mendle_backend.pyi", "_csv_mendle.pyi", "_api.py", "cli.py", "__main__.py"):
    assert (package / name).is_file(), name
dist = importlib.metadata.distribution("csv_mendle")
assert dist.metadata["License-Expression"] == "MIT", dist.metadata["License-Expression"]
assert "MIT License" in (dist.read_text("licenses/LICENSE") or ""), "no LICENSE in the wheel"
print("installed:", package)
PY
"$work/venv/bin/csv-mendle" --version

echo "== the Python test suite against the installed package"
# The tests stay in the source tree; the working folder holds no package, and
# pytest adds only tests/python to the import path.
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$here/tests/python" "$@"
