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
# own); the run goes on after a report so that all of them are seen.  A crash
# is left to the interpreter's fault handler (the sanitizer's own handler can
# deadlock with threads that are reporting), and a run that hangs is stopped.
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan/suppressions.txt log_path=$PWD/$reports/report halt_on_error=0 exitcode=0 second_deadlock_stack=1 history_size=7 handle_segv=0"
PYTHON_GIL=0 KESTRO_SANITIZED=1 PYTHONPATH="$dir:$site" timeout --signal=KILL 1800 \
  "$py" -X faulthandler -m pytest -q -rs -p no:cacheprovider -p no:hypothesispytest tests/python/test_threads.py "$@"
status=$?
[ "$status" -eq 0 ] || echo "tsan: the test run failed (status $status)"

# Each report runs from a line of '=' to the next; it is kestro's when a frame
# is in this tree's src/ or in the module file.  kestro's are summed up by the
# two accesses that race: the first of kestro's frames in each stack.
"$py" - "$reports" "$PWD/src/" <<'PY'
import collections, pathlib, re, sys
folder, src = pathlib.Path(sys.argv[1]), sys.argv[2]
ours, theirs = [], []
for path in sorted(folder.glob("report*")):
    for block in re.split(r"^=+$", path.read_text(errors="replace"), flags=re.M):
        if "WARNING: ThreadSanitizer" not in block:
            continue
        (ours if (src in block or "/kestro.cpython" in block) else theirs).append(block.strip())

def access(section):
    """'read key_map.cpp:97 (cached<true>)' for one stack of a report."""
    head = section.splitlines()[0].strip()
    kind = " ".join(w for w in head.split()[:3] if w not in ("of", "size")).lower()
    frames = re.findall(r"#\d+ (.+?) (\S+:\d+)", section)
    mine = [(f, loc) for f, loc in frames if loc.startswith(src)]
    func, loc = (mine or frames or [("?", "?")])[0]
    return f"{kind} {loc.replace(src, 'src/')} ({func.split('(')[0]})" + ("" if mine else " [interpreter]")

pairs = collections.Counter()
for block in ours:
    sections = re.split(r"\n(?=  (?:Previous |Atomic |Read|Write|Mutex|Thread))", block)
    accesses = [access(s) for s in sections if re.match(r"\s*(Previous )?(atomic )?(Atomic )?(read|write|Read|Write)", s)]
    title = block.splitlines()[0].replace("WARNING: ThreadSanitizer: ", "")
    pairs[(title.split(" (pid")[0], tuple(accesses[:2]))] += 1
for title, blocks in (("reports outside kestro's code (not suppressed)", theirs),
                      ("REPORTS WITH KESTRO'S CODE IN THE STACK", ours)):
    if blocks:
        print(f"\n==== {len(blocks)} {title}")
        for b in blocks:
            print(b, "\n----")
if pairs:
    print("\n==== kestro's reports by the accesses that race (count, kind, this access / the other)")
    for (title, acc), n in pairs.most_common():
        print(f"{n:4d}  {title}: " + "  /  ".join(acc))
print(f"\ntsan: {len(ours)} report(s) with kestro's code, {len(theirs)} other(s) not suppressed "
      f"(all in {folder})")
sys.exit(1 if ours else 0)
PY
scan=$?
echo "tsan: $((SECONDS - started)) s in all"
[ "$status" -eq 0 ] && [ "$scan" -eq 0 ]
