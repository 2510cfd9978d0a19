#!/usr/bin/env bash
# ThreadSanitizer over the threads stress test (tests/python/test_threads.py):
# a free-threaded CPython built with --with-thread-sanitizer (scripts/env.sh
# 3.13t-tsan, built from Debian's source of it and cached like the other
# interpreters), kestro built with -fsanitize=thread against it
# (-DKESTRO_TSAN=ON), and the stress test run on them with the GIL off.
#
#   bash scripts/tsan.sh [3.13t] [pytest arguments]
#
# Fails on any report whose stack includes kestro's code (a frame in src/ or
# in the module).  Reports wholly inside the interpreter are suppressed by
# tests/tsan/suppressions.txt, which says why each line is there; any other
# report is shown and counted but does not fail the run.  The reports are
# kept in build/tsan-reports/.  Run before a release: a first run builds the
# interpreter (several minutes), a repeat run takes a few minutes more.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null || { echo "setup failed"; exit 1; }

version=3.13t
case ${1:-} in 3.*t) version=$1; shift ;; esac
root=${KESTRO_BUILD_ROOT:-build}
dir=$root/tsan-$version
reports=$root/tsan-reports
started=$SECONDS

py=$(bash scripts/env.sh --bare "$version-tsan") || { echo "tsan: no ThreadSanitizer build of CPython $version"; exit 1; }
# The packages the tests use come from the free-threaded interpreter's own
# test environment (the same ABI; they are not instrumented).
env_py=$(bash scripts/env.sh "$version") || { echo "tsan: no test environment for CPython $version"; exit 1; }
site=$("$env_py" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')

mkdir -p "$dir"
if ! { cmake -S . -B "$dir" -DPython3_EXECUTABLE="$py" -DKESTRO_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$dir" -j"$(nproc)"; } >"$dir/build.log" 2>&1; then
  cat "$dir/build.log"
  echo "tsan: build failed"
  exit 1
fi
echo "tsan: interpreter and module ready after $((SECONDS - started)) s"

rm -rf "$reports"
mkdir -p "$reports"
# Reports go to one file per process (the test starts interpreters of its
# own); the run goes on after a report so that all of them are seen.
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan/suppressions.txt log_path=$PWD/$reports/report halt_on_error=0 exitcode=0 second_deadlock_stack=1 history_size=4"
PYTHON_GIL=0 KESTRO_SANITIZED=1 PYTHONPATH="$dir:$site" \
  "$py" -m pytest -q -rs -p no:cacheprovider tests/python/test_threads.py "$@"
status=$?

# Each report runs from a line of '=' to the next; it is kestro's when a frame
# is in this tree's src/ or in the module file.
"$py" - "$reports" "$PWD/src/" <<'PY'
import pathlib, re, sys
folder, src = pathlib.Path(sys.argv[1]), sys.argv[2]
ours, theirs = [], []
for path in sorted(folder.glob("report*")):
    for block in re.split(r"^=+$", path.read_text(errors="replace"), flags=re.M):
        if "WARNING: ThreadSanitizer" not in block:
            continue
        (ours if (src in block or "/kestro.cpython" in block) else theirs).append(block.strip())
for title, blocks in (("reports outside kestro's code (not suppressed)", theirs),
                      ("REPORTS WITH KESTRO'S CODE IN THE STACK", ours)):
    if blocks:
        print(f"\n==== {len(blocks)} {title}")
        for b in blocks:
            print(b, "\n----")
print(f"\ntsan: {len(ours)} report(s) with kestro's code, {len(theirs)} other(s) not suppressed "
      f"(all in {folder})")
sys.exit(1 if ours else 0)
PY
scan=$?
echo "tsan: $((SECONDS - started)) s in all"
[ "$status" -eq 0 ] && [ "$scan" -eq 0 ]
