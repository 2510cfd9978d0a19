#!/usr/bin/env bash
# Throughput with threads on a free-threaded CPython: the work two threads do
# loading and dumping the corpus documents against one thread, for kestro and
# for msgspec on the same interpreter, with the GIL off (bench/threads.py).
#
#   bash scripts/bench-threads.sh [3.13t] [--seconds 1] [--reps 5]
#
# The interpreter comes from scripts/env.sh (built from Debian's source of it
# on first use) with requirements/bench-ft.txt; the module is built for it in
# build/bench-<version>.  Timings mean something only on an otherwise idle
# machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null

version=3.13t
case ${1:-} in 3.*t) version=$1; shift ;; esac
py=$(bash scripts/env.sh -r bench-ft "$version")
build=${KESTRO_BUILD_ROOT:-build}/bench-$version
mkdir -p "$build"
if ! { cmake -S . -B "$build" -DPython3_EXECUTABLE="$py" -DCMAKE_BUILD_TYPE=Release &&
       cmake --build "$build" -j"$(nproc)"; } >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  echo "bench-threads: build failed" >&2
  exit 1
fi
PYTHON_GIL=0 PYTHONPATH="$build" "$py" -m bench.threads "$@" | tee "$build/threads.txt"
