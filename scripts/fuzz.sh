#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs both, side by side, for the given time each:
#   bash scripts/fuzz.sh                  # one minute each (part of scripts/test.sh)
#   bash scripts/fuzz.sh --seconds 3600   # the long run
# The corpora grow in $KESTRO_BUILD_ROOT/fuzz-corpus (default build/) from
# seeds written from tests/data at every run; an input that breaks a
# property is kept in build/fuzz-findings and the script fails.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=60
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    *) echo "usage: $0 [--seconds N]"; exit 2 ;;
  esac
done

bash scripts/setup.sh >/dev/null || { echo "setup failed"; exit 1; }
root=${KESTRO_BUILD_ROOT:-build}
dir=$root/fuzz
mkdir -p "$root"

cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER=clang++-14 -DKESTRO_FUZZ=ON \
  -DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$dir.configure.log" 2>&1 ||
  { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j"$(nproc)" --target fuzz_loads fuzz_dumps 2>&1 |
  grep -v -E '^\[ *[0-9]+%\]|^gmake|^Consolidate|^-- '
[ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzz build failed"; exit 1; }

seeds=$root/fuzz-seeds
rm -rf "$seeds"
/usr/bin/python3 tests/fuzz/seeds.py tests/data "$seeds" || exit 1

# The embedded interpreter is /usr/bin/python3; the packages the harnesses
# use (numpy) come from its test environment.
env_py=$(bash scripts/env.sh default) || { echo "no test environment for /usr/bin/python3"; exit 1; }
site=$("$env_py" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')

findings=$root/fuzz-findings
mkdir -p "$findings"
pids=()
for h in loads dumps; do
  mkdir -p "$root/fuzz-corpus/$h"
  # Inputs up to 16 KiB; one input may take 120 s of wall time (the first
  # run of a large seed under the sanitizers, at the lowest priority on a
  # busy machine) and 4 GiB.
  PYTHONPATH="$site" nice -n 19 "$dir/fuzz_$h" -max_total_time="$seconds" -max_len=16384 -timeout=120 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$findings/$h-" \
    "$root/fuzz-corpus/$h" "$seeds/$h" >"$root/fuzz-$h.log" 2>&1 &
  pids+=($!)
done

status=0
for i in 0 1; do
  h=$([ $i -eq 0 ] && echo loads || echo dumps)
  if wait "${pids[$i]}"; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$root/fuzz-$h.log" | grep -o '[0-9]*$')
    cov=$(grep -E '^#[0-9]+' "$root/fuzz-$h.log" | grep -o 'cov: [0-9]* ft: [0-9]*' | tail -n 1)
    echo "fuzz_$h: ${runs:-?} inputs in ${seconds}s, $cov, no finding"
  else
    status=1
    echo "fuzz_$h: FINDING (log: $root/fuzz-$h.log)"
    grep -E -A40 'Traceback|ERROR: (AddressSanitizer|libFuzzer)|runtime error' "$root/fuzz-$h.log" | head -n 60
    grep -E 'Test unit written to' "$root/fuzz-$h.log"
  fi
done
exit $status
