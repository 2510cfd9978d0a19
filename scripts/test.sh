#!/usr/bin/env bash
# Runs every test on every supported CPython, 3.10 to 3.15: the C++ unit tests
# and the Python suite on the machine's python3 (Debian's 3.11), the Python
# suite on each other version, the packaging checks (tests/packaging) on the
# machine's python3, then the unit tests and the Python suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer on it, and last the fuzz
# harnesses side by side for 30 s (scripts/fuzz.sh).  Each interpreter runs in
# an environment of its own with requirements/test.txt (scripts/env.sh, which
# fetches what is missing).  Beside all of that, from the start and one after
# the other: the C++ unit tests on 64-bit ARM under qemu, the Python suite
# with the GIL off on each free-threaded build (3.13t, 3.14t, 3.15t) whose
# source Debian's archive serves (built here by scripts/env.sh), then wheels
# built, repaired and tested installed (x86-64 CPython 3.14, arm64 CPython
# 3.11 and 3.13 under qemu) and arm64 3.12's built and checked
# (scripts/wheels.sh).
#
# The whole randomized depth runs on the machine's python3 and on the
# free-threaded builds; elsewhere (the other interpreters, the installed
# copies, the sanitizers, emulation) the heaviest randomized tests take fewer
# examples (KESTRO_LIGHT=1): what differs there is the interpreter, the build
# or the processor, which the fixed cases and the first examples reach.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null || { echo "setup failed"; exit 1; }

versions=(3.10 3.11 3.12 3.13 3.14 3.15)
free_threaded=(3.13t 3.14t 3.15t)
jobs=$(nproc)
failures=()
not_run=()
root=${KESTRO_BUILD_ROOT:-build}
mkdir -p "$root"

timings=()
current=""
started=$SECONDS
step() {
  finish_step
  current=$*
  current_start=$SECONDS
  echo
  echo "=== $*"
}
finish_step() {
  [ -n "$current" ] && timings+=("$(printf '%5ss  %s' $((SECONDS - current_start)) "$current")")
  current=""
}

# build DIR PYTHON [cmake options...].  Configures only when DIR has not been
# configured with the same options (the build configures again by itself when
# a CMakeLists.txt changes).
build() {
  local dir=$1 py=$2; shift 2
  local args=(-DPython3_EXECUTABLE="$py" "$@")
  mkdir -p "$dir"
  if [ ! -f "$dir/CMakeCache.txt" ] || [ "$(cat "$dir/configured-with" 2>/dev/null)" != "${args[*]}" ]; then
    rm -f "$dir/CMakeCache.txt" "$dir/configured-with"
    cmake -S . -B "$dir" "${args[@]}" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
    echo "${args[*]}" >"$dir/configured-with"
  fi
  cmake --build "$dir" -j"$jobs" 2>&1 | grep -v -E '^\[ *[0-9]+%\]|^gmake|^Consolidate|^-- '
  return "${PIPESTATUS[0]}"
}

pytest_with() {  # pytest_with BUILD_DIR PYTHON [pytest args...]
  local dir=$1 py=$2; shift 2
  PYTHONPATH="$dir" "$py" -m pytest -q -rs -p no:cacheprovider tests/python "$@"
}

# What an environment holds of the packages the tests use.
describe() {
  "$1" - <<'PY'
import platform, sys, sysconfig
from importlib import metadata
found = []
for name in ("numpy", "hypothesis", "pytz", "python-dateutil", "pendulum"):
    try:
        found.append(f"{name} {metadata.version(name)}")
    except metadata.PackageNotFoundError:
        found.append(f"no {name}")
build = ""
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    build = " free-threaded, GIL " + ("on" if sys._is_gil_enabled() else "off")
print(f"CPython {platform.python_version()}{build}: {', '.join(found)}")
PY
}

# ---- 64-bit ARM, the free-threaded builds and the wheels, beside the rest ----
# The module and its C++ unit tests are cross-compiled with Debian's
# g++-aarch64-linux-gnu against Debian's arm64 packages (CPython 3.11) and
# the unit tests run under qemu-user (scripts/aarch64.sh).  After them, the
# free-threaded suites, then the wheels of x86-64 CPython 3.14 and arm64
# CPython 3.11 and 3.13, built, repaired and tested installed
# (scripts/wheels.sh), which runs the Python suite on arm64 3.11 and 3.13
# under qemu, and arm64 3.12's, built against headers carried over and
# checked, not run.  Emulation is slow and keeps to one core, so these start
# first and run one after the other beside the steps below, on the other
# core, their output kept until they end; `scripts/wheels.sh` alone runs the
# suite on arm64 3.14 and 3.15 as well.
aarch64_tests() {
  local v=3.11 dir=$root/aarch64-3.11 tc py
  echo "=== aarch64 under qemu: C++ unit tests, Python $v (cross-compiled)"
  if ! tc=$(bash scripts/aarch64.sh --toolchain "$v") || ! py=$(bash scripts/aarch64.sh "$v"); then
    failed "aarch64 environment for Python $v"
    return
  fi
  describe "$py"
  if ! build "$dir" "$(bash scripts/aarch64.sh --bare "$v")" -DCMAKE_TOOLCHAIN_FILE="$tc" -DKESTRO_TESTS=ON; then
    failed "aarch64 build for Python $v"
    return
  fi
  # The tests start themselves again for their death tests: through a
  # launcher that names itself as the program, as the interpreters' do.
  printf '#!/bin/sh\nexec qemu-aarch64-static -L %q -0 "$0" %q "$@"\n' "$(bash scripts/aarch64.sh --sysroot "$v")" \
    "$(realpath "$dir/kestro_tests")" >"$dir/kestro_tests.sh"
  chmod +x "$dir/kestro_tests.sh"
  PYTHONPATH=$("$py" -c 'import sysconfig; print(sysconfig.get_path("platlib"))') \
    "$dir/kestro_tests.sh" --gtest_brief=1 || failed "C++ unit tests on aarch64"
}
wheel_tests() {
  echo "=== Wheels: x86-64 CPython 3.14, arm64 CPython 3.11 and 3.13, repaired and tested installed; arm64 3.12 built"
  KESTRO_DIST=$root/dist bash scripts/wheels.sh x86_64-3.14 aarch64-3.11 aarch64-3.13 aarch64-3.12 || failed "wheels"
}
# The free-threaded builds, with the GIL off for the whole run (the suite
# checks that it stays off and that importing kestro would not turn it on).
free_threaded_tests() {
  local v py
  for v in "${free_threaded[@]}"; do
    echo "=== Python tests, free-threaded Python $v, GIL off"
    py=$(bash scripts/env.sh "$v")
    case $? in
      0) ;;
      3) skipped "Python $v: Debian's archive serves no source of it"; continue ;;
      *) failed "environment for Python $v"; continue ;;
    esac
    PYTHON_GIL=0 describe "$py"
    if build "$root/py$v" "$py"; then
      PYTHON_GIL=0 pytest_with "$root/py$v" "$py" || failed "pytest Python $v (GIL off)"
    else
      failed "build for Python $v"
    fi
  done
}
# beside NAME TITLE: runs NAME in the background, its output into
# $root/NAME.log, what failed (each `failed` line) into $root/NAME.failed and
# what could not run (each `skipped` line) into $root/NAME.skipped.
beside_pids=()
beside_names=()
beside() {
  local name=$1 title=$2
  rm -f "$root/$name.failed" "$root/$name.skipped" "$root/$name.time"
  (
    t0=$SECONDS
    failed() { echo "$1" >>"$root/$name.failed"; }
    skipped() { echo "$1" >>"$root/$name.skipped"; }
    $name
    printf '%5ss  %s\n' $((SECONDS - t0)) "$title" >"$root/$name.time"
  ) >"$root/$name.log" 2>&1 &
  beside_pids+=($!)
  beside_names+=("$name")
}
beside_chain() {
  aarch64_tests
  free_threaded_tests
  wheel_tests
}
beside beside_chain "aarch64 unit tests under qemu, free-threaded interpreters, wheels x86-64 3.14, arm64 3.11, 3.13 and 3.12 (beside the rest)"

default=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
step "C++ unit tests and Python tests, Python $default (/usr/bin/python3)"
if py=$(bash scripts/env.sh default); then
  describe "$py"
  if build "$root/py-default" "$py" -DKESTRO_TESTS=ON; then
    "$root/py-default"/kestro_tests --gtest_brief=1 || failures+=("C++ unit tests")
    pytest_with "$root/py-default" "$py" || failures+=("pytest Python $default")
  else
    failures+=("build for Python $default")
  fi
  default_py=$py
else
  failures+=("environment for Python $default")
  default_py=""
fi

for v in "${versions[@]}"; do
  [ "$v" = "$default" ] && continue
  step "Python tests, Python $v"
  if ! py=$(bash scripts/env.sh "$v"); then
    failures+=("environment for Python $v")
    continue
  fi
  describe "$py"
  if build "$root/py$v" "$py"; then
    KESTRO_LIGHT=1 pytest_with "$root/py$v" "$py" || failures+=("pytest Python $v")
  else
    failures+=("build for Python $v")
  fi
done

# pip install from a clone (with and without build isolation), the wheel
# auditwheel repairs, tested without the system's yyjson and xxHash, the type
# stubs and the configure-time message for missing libraries: once, on the
# machine's python3.  pip's cache is kept with the environments.
if [ -n "$default_py" ]; then
  step "Packaging: pip install, a self-contained wheel, type stubs, Python $default"
  if pkg_py=$(bash scripts/env.sh -r packaging default); then
    KESTRO_LIGHT=1 PYTHONPATH="$root/py-default" "$pkg_py" -m pytest -q -rs -p no:cacheprovider \
      -o tmp_path_retention_policy=failed tests/packaging || failures+=("packaging checks")
  else
    failures+=("environment for the packaging checks")
  fi
fi

if [ -n "$default_py" ]; then
  step "Sanitizers (ASan + UBSan), Python $default (/usr/bin/python3)"
  if build "$root/sanitize" "$default_py" -DKESTRO_SANITIZE=ON -DKESTRO_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_odr_violation=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # PYTHONMALLOC=malloc: objects the routines fill in place (str, bytes) come
    # from the sanitized allocator, so writes past their end are caught.
    PYTHONMALLOC=malloc "$root/sanitize"/kestro_tests --gtest_brief=1 || failures+=("C++ unit tests under sanitizers")
    # The interpreter is not built with ASan: preload the runtime and route
    # PyMem through malloc so the module's own blocks are checked too.
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc KESTRO_SANITIZED=1 \
      pytest_with "$root/sanitize" "$default_py" || failures+=("pytest under sanitizers")
  else
    failures+=("sanitizer build")
  fi
fi

step "Fuzzing: the loads and dumps harnesses side by side, ${KESTRO_FUZZ_SECONDS:-30} s each (ASan + UBSan)"
KESTRO_BUILD_ROOT="$root" bash scripts/fuzz.sh --seconds "${KESTRO_FUZZ_SECONDS:-30}" || failures+=("fuzzing")

finish_step
# The output of what ran beside, once it has ended.
for i in "${!beside_pids[@]}"; do
  wait "${beside_pids[$i]}"
  name=${beside_names[$i]}
  echo
  cat "$root/$name.log"
  [ -f "$root/$name.failed" ] && mapfile -t -O "${#failures[@]}" failures <"$root/$name.failed"
  [ -f "$root/$name.skipped" ] && mapfile -t -O "${#not_run[@]}" not_run <"$root/$name.skipped"
  [ -f "$root/$name.time" ] && timings+=("$(cat "$root/$name.time")")
done
echo
printf '%s\n' "${timings[@]}"
printf '%5ss  in all\n' $((SECONDS - started))
echo
[ ${#not_run[@]} -eq 0 ] || printf 'not run: %s\n' "${not_run[@]}"
if [ ${#failures[@]} -ne 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}"
  exit 1
fi
echo "all tests passed"
