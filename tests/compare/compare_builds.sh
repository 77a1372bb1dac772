#!/usr/bin/env bash
# Shows that the extension built from this checkout (with its uncommitted
# changes) repairs exactly as the one built from a base commit: the same
# output and quarantine bytes, summaries and reader rows, for the fuzz
# corpora and for N seeded random inputs, each under a spread of options.
#
#   tests/compare/compare_builds.sh [--base REV] [--cases N] [--seed S]
#
# Defaults: --base 7ce6b37 --cases 100000 --seed 1.  Run it on the host:
# git exports the base commit into build/compare-base/src there, then both
# builds are made and compared through ./dev (inside the Debian root, which
# sees only the checkout).  Digests, and on a difference the whole of the
# first differing case, are kept in build/compare.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
base=7ce6b37
cases=100000
seed=1
inside=
while [ $# -gt 0 ]; do
  case "$1" in
    --base) base=$2; shift 2 ;;
    --cases) cases=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --inside) inside=$2; shift 2 ;;  # the exported commit; set when re-entered through ./dev
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) printf 'compare_builds: unknown argument %s\n' "$1" >&2; exit 2 ;;
  esac
done
say() { printf 'compare_builds: %s\n' "$*" >&2; }

base_src="$here/build/compare-base/src"

if [ -z "$inside" ]; then
  commit=$(git -C "$here" rev-parse --verify --quiet "$base^{commit}") || {
    say "no commit $base here (run this script on the host, where git sees the repository)"
    exit 2
  }
  # A fresh export only when the base changes, so that its build stays incremental.
  if [ "$(cat "$base_src/.exported-commit" 2>/dev/null)" != "$commit" ]; then
    say "exporting $base ($commit) into $base_src"
    rm -rf "$base_src"
    mkdir -p "$base_src"
    git -C "$here" archive "$commit" | tar -x -C "$base_src"
    printf '%s\n' "$commit" >"$base_src/.exported-commit"
  fi
  exec "$here/dev" run "$here/tests/compare/compare_builds.sh" --inside "$commit" \
    --cases "$cases" --seed "$seed"
fi

# ---- inside the environment ----

[ "$(cat "$base_src/.exported-commit" 2>/dev/null)" = "$inside" ] || {
  say "build/compare-base/src does not hold $inside"; exit 2; }
py=python3.14

# As ./dev configures its builds, without the C++ tests: only the extension
# and the package laid out around it are needed.
build() { # SOURCE-DIR BUILD-DIR
  if [ ! -f "$2/CMakeCache.txt" ]; then
    cmake -S "$1" -B "$2" -G Ninja -DPython_EXECUTABLE="$(command -v $py)" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCSV_MENDLE_TESTS=OFF >/dev/null
  fi
  cmake --build "$2" -j "$(nproc)" >/dev/null
}

say "building the base ($inside) and this checkout"
build "$base_src" "$here/build/compare-base/build"
build "$here" "$here/build/compare-head"

say "repairing the corpora and $cases random inputs (seed $seed) with each build"
exec "$py" "$here/tests/compare/compare_outputs.py" compare \
  "$here/build/compare-base/build" "$here/build/compare-head" \
  --work "$here/build/compare" --cases "$cases" --seed "$seed"
