#!/usr/bin/env bash
# Runs every test: the C++ unit tests, the Python suite on every CPython from
# 3.10 to 3.13 found on the machine, and the suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null || { echo "setup failed"; exit 1; }

jobs=$(nproc)
failures=()
debian_site=/usr/lib/python3/dist-packages

step() { echo; echo "=== $*"; }

build() {  # build DIR PYTHON [cmake options...]
  local dir=$1 py=$2; shift 2
  cmake -S . -B "$dir" -DPython3_EXECUTABLE="$py" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" 2>&1 | grep -v -E '^\[ *[0-9]+%\]|^gmake|^Consolidate|^-- '
  return "${PIPESTATUS[0]}"
}

pytest_with() {  # pytest_with BUILD_DIR PYTHON [pytest args...]
  local dir=$1 py=$2; shift 2
  # -S: nothing from the interpreter's own site-packages; Debian's pure-Python
  # pytest and hypothesis come in through PYTHONPATH.
  PYTHONPATH="$dir:$debian_site" "$py" -S -m pytest -q -p no:cacheprovider tests/python "$@"
}

root=${KESTRO_BUILD_ROOT:-build}
mkdir -p "$root"

step "C++ unit tests and Python tests, $(/usr/bin/python3 --version)"
if build "$root/py-default" /usr/bin/python3 -DKESTRO_TESTS=ON; then
  "$root/py-default"/kestro_tests --gtest_brief=1 || failures+=("C++ unit tests")
  pytest_with "$root/py-default" /usr/bin/python3 || failures+=("pytest $(/usr/bin/python3 --version)")
else
  failures+=("build for /usr/bin/python3")
fi

for v in 3.10 3.12 3.13; do
  py=""
  if command -v pyenv >/dev/null 2>&1; then
    prefix=$(pyenv prefix "$(pyenv versions --bare 2>/dev/null | grep -E "^$v\.[0-9]+$" | tail -n 1)" 2>/dev/null || true)
    [ -n "$prefix" ] && [ -x "$prefix/bin/python$v" ] && py="$prefix/bin/python$v"
  fi
  [ -z "$py" ] && command -v "python$v" >/dev/null 2>&1 && py=$(command -v "python$v")
  if [ -z "$py" ]; then echo "(CPython $v not present: skipped)"; continue; fi
  step "Python tests, $($py --version)"
  if build "$root/py$v" "$py"; then
    pytest_with "$root/py$v" "$py" || failures+=("pytest Python $v")
  else
    failures+=("build for Python $v")
  fi
done

step "Sanitizers (ASan + UBSan), $(/usr/bin/python3 --version)"
if build "$root/sanitize" /usr/bin/python3 -DKESTRO_SANITIZE=ON -DKESTRO_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_odr_violation=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # PYTHONMALLOC=malloc: objects the routines fill in place (str, bytes) come
  # from the sanitized allocator, so writes past their end are caught.
  PYTHONMALLOC=malloc "$root/sanitize"/kestro_tests --gtest_brief=1 || failures+=("C++ unit tests under sanitizers")
  # The interpreter is not built with ASan: preload the runtime and route
  # PyMem through malloc so the module's own blocks are checked too.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  PYTHONMALLOC=malloc KESTRO_SANITIZED=1 \
    pytest_with "$root/sanitize" /usr/bin/python3 || failures+=("pytest under sanitizers")
else
  failures+=("sanitizer build")
fi

echo
if [ ${#failures[@]} -ne 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}"
  exit 1
fi
echo "all tests passed"
