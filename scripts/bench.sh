#!/usr/bin/env bash
# Builds the release module and the micro-benchmarks, runs the benchmark suite
# (kestro beside every installed peer, marshal as the floor, in one process)
# and then the micro-benchmarks of the hot routines.
#
#   bash scripts/bench.sh [--no-micro] [suite options]
#
# Suite options: --quick (short run), --runs 3 (medians over three runs, as
# the targets are judged), --only TEXT, --groups corpus,tiny, --sizes 1K,1M,
# --libs kestro,json; see `python -m bench --help`.  Results are printed and
# kept in build/bench/ (report.txt, results.json, results.svg, microbench.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null

python=${PYTHON:-/usr/bin/python3}
# The suite runs in the environment of requirements/bench.txt (the newest
# peers from PyPI, pinned); where that cannot be made (no PyPI), on the
# interpreter itself with the peers Debian packages (scripts/setup.sh).
if [ -z "${KESTRO_BENCH_PYTHON:-}" ]; then
  if [ "$python" = /usr/bin/python3 ]; then want=default; else want=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); fi
  if ! KESTRO_BENCH_PYTHON=$(bash scripts/env.sh -r bench "$want"); then
    echo "bench: no environment from requirements/bench.txt; using $python and the peers installed for it" >&2
    KESTRO_BENCH_PYTHON=$python
  fi
fi
build=${KESTRO_BENCH_BUILD:-build/bench}
micro=1
micro_time=0.5
args=()
for arg in "$@"; do
  case $arg in
    --no-micro) micro=0 ;;
    --quick) micro_time=0.05; args+=("$arg") ;;
    *) args+=("$arg") ;;
  esac
done

mkdir -p "$build"
if ! { cmake -S . -B "$build" -DPython3_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Release \
         -DKESTRO_BENCH=ON && cmake --build "$build" -j"$(nproc)"; } >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  echo "bench: build failed" >&2
  exit 1
fi

PYTHONPATH="$build" "$KESTRO_BENCH_PYTHON" -m bench --svg "$build/results.svg" --json "$build/results.json" \
  "${args[@]}" | tee "$build/report.txt"

if [ "$micro" = 1 ]; then
  echo
  echo "== micro-benchmarks (Google Benchmark)"
  "$build/kestro_microbench" --benchmark_min_time="$micro_time" 2>&1 | tee "$build/microbench.txt"
fi
