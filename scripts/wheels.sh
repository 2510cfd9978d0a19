#!/usr/bin/env bash
# Builds the source distribution and a manylinux wheel of it for every
# supported CPython on x86-64 and on 64-bit ARM, repairs each wheel with
# auditwheel (yyjson and xxHash carried inside) and tests each, installed in a
# fresh environment of its own interpreter, with the whole Python suite.
#
#   bash scripts/wheels.sh                            # every cell, into dist/
#   bash scripts/wheels.sh x86_64-3.14 aarch64-3.13   # only these cells
#   KESTRO_DIST=DIR bash scripts/wheels.sh            # into DIR instead
#
# A cell is PROCESSOR-VERSION: x86_64 or aarch64, and 3.10 to 3.15 or a
# free-threaded 3.13t, 3.14t, 3.15t.  The x86-64 interpreters are those of
# scripts/env.sh, a free-threaded one where `scripts/env.sh --bare 3.Xt` can
# provide it (otherwise the cell is skipped with a message).  aarch64 wheels
# are cross-compiled (scripts/aarch64.sh) by the same build backend running
# natively, and tested under qemu-user with Debian's arm64 interpreters: 3.11,
# 3.13, 3.14 and 3.15.  Debian has no arm64 CPython 3.10, 3.12 or 3.13t: those
# wheels are built against the machine's own headers of that version carried
# over to arm64 (scripts/aarch64.sh), repaired and checked by auditwheel, and
# checked to ask only for functions that version of CPython exports, but not
# run.  A cell with no interpreter of its version for any processor here
# (3.14t, 3.15t while Debian serves no source of them) is left out, with the
# reason.
#
# Each wheel is built from the unpacked source distribution with the backend
# of requirements/build.txt, repaired by the auditwheel of
# requirements/packaging.txt, installed with pip into a copy of the
# interpreter's pristine test environment (requirements/test.txt, which never
# held kestro) and tested from outside the tree, so that only the installed
# module can be imported; the test also checks that the module maps the
# copies of yyjson and xxHash the wheel carries.  The command ends with one
# line per cell and fails when a cell that could be tested failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
cd "$top"
unset PYTHONPATH PYTHONHOME

all_cells=(x86_64-3.10 x86_64-3.11 x86_64-3.12 x86_64-3.13 x86_64-3.14 x86_64-3.15
           x86_64-3.13t x86_64-3.14t x86_64-3.15t
           aarch64-3.10 aarch64-3.11 aarch64-3.12 aarch64-3.13 aarch64-3.14 aarch64-3.15
           aarch64-3.13t aarch64-3.14t aarch64-3.15t)
cells=("$@")
[ ${#cells[@]} -gt 0 ] || cells=("${all_cells[@]}")
for cell in "${cells[@]}"; do
  case $cell in
    x86_64-3.1[0-5]|x86_64-3.1[3-5]t|aarch64-3.1[0-5]|aarch64-3.1[3-5]t) ;;
    *) echo "wheels: unknown cell '$cell' (x86_64-3.X, aarch64-3.X, or 3.Xt)" >&2; exit 2 ;;
  esac
done

dist=${KESTRO_DIST:-$top/dist}
work=${KESTRO_BUILD_ROOT:-$top/build}/wheels
home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache=${KESTRO_CACHE:-${XDG_CACHE_HOME:-$home/.cache}/kestro}
mkdir -p "$dist" "$work"
export PIP_CACHE_DIR=$cache/pip-cache PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

log() { echo "wheels: $*" >&2; }
results=()
failed=0
# result CELL STATUS TEXT
result() {
  results+=("$(printf '%-15s %-11s %s' "$1" "$2" "$3")")
  [ "$2" = FAILED ] && failed=1
  log "$1: $2 $3"
}

# ---- the source distribution -------------------------------------------------

build_py=$(bash scripts/env.sh -r build default) || { echo "wheels: no build environment"; exit 1; }
tools_py=$(bash scripts/env.sh -r packaging default) || { echo "wheels: no packaging environment"; exit 1; }
version=$(sed -n 's/^project(kestro VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# The files a fresh clone has (tracked, or new and not ignored), nothing built.
rm -rf "$work/clone" "$work/sdist"
mkdir -p "$work/clone" "$work/sdist"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
  [ -f "$f" ] && { mkdir -p "$work/clone/$(dirname "$f")"; cp -p "$f" "$work/clone/$f"; }
done
sdist_name=$(cd "$work/clone" && "$build_py" -c \
  "from scikit_build_core.build import build_sdist; print(build_sdist('$work/sdist'))" | tail -n 1) ||
  { echo "wheels: the source distribution failed"; exit 1; }
cp "$work/sdist/$sdist_name" "$dist/"
tar -xzf "$work/sdist/$sdist_name" -C "$work/sdist"
src=$work/sdist/${sdist_name%.tar.gz}
[ -f "$src/CMakeLists.txt" ] || { echo "wheels: $sdist_name holds no CMakeLists.txt"; exit 1; }
log "source distribution: $dist/$sdist_name"

pip_version=$(sed -n 's/^pip==\([^ ;#]*\).*/\1/p' requirements/pip.txt)
pipdir=$cache/pip/$pip_version

# ---- one cell -------------------------------------------------------------------

# What the module maps of yyjson and xxHash, as "lib folder" lines.
MAPPED='
import kestro, sys
paths = sorted({l.split()[-1] for l in open("/proc/self/maps") if "/libyyjson" in l or "/libxxhash" in l})
print(kestro.__file__)
print("\n".join(paths))
'

# The Python API functions and data the module in WHEEL imports that the
# machine's CPython V does not export (nothing when all are there): checked
# for a wheel that cannot be run here, whose headers were carried over.
missing_api() {
  local wheel=$1 v=$2 dir=$3 host libdir lib
  host=$(bash scripts/env.sh --bare "$v") || return 1
  mkdir -p "$dir/unpacked"
  "$tools_py" -m zipfile -e "$wheel" "$dir/unpacked" || return 1
  read -r libdir lib < <("$host" -c 'import sysconfig as s; print(s.get_config_var("LIBDIR"), s.get_config_var("LDLIBRARY"))')
  local exported=("$(readlink -f "$host")")
  [ -f "$libdir/$lib" ] && [ "${lib%.so}" != "$lib" ] && exported+=("$libdir/$lib")
  comm -23 \
    <(aarch64-linux-gnu-nm -D --undefined-only "$dir"/unpacked/kestro.*.so | awk '{print $2}' | grep -E '^_?Py' | sort -u) \
    <(nm -D --defined-only "${exported[@]}" | awk '{print $3}' | sort -u) | tr '\n' ' '
}

run_cell() {
  local cell=$1 arch=${1%%-*} v=${1#*-}
  local short=${v%t} dir=$work/$cell
  rm -rf "$dir"
  mkdir -p "$dir/plain" "$dir/repaired"

  # The interpreter the wheel is for; the backend runs on the machine's
  # CPython of the same version.
  local test_py untested=""
  if [ "$arch" = x86_64 ]; then
    if ! bash scripts/env.sh --bare "$v" >/dev/null 2>&1; then
      result "$cell" skipped "scripts/env.sh provides no CPython $v here"
      return
    fi
  else
    case $v in
      3.10|3.12|3.13t) untested="Debian has no arm64 CPython $v to run it" ;;
      *t)
        result "$cell" "left out" "scripts/env.sh provides no CPython $v here, for any processor"
        return ;;
    esac
  fi
  local backend_py
  backend_py=$(bash scripts/env.sh -r build "$v") || { result "$cell" FAILED "no build environment"; return; }

  # Build.
  local settings=(-C "build-dir=$dir/build")
  local cross_env=()
  if [ "$arch" = aarch64 ]; then
    local tc soabi
    tc=$(bash scripts/aarch64.sh --toolchain "$v") || { result "$cell" FAILED "no cross toolchain"; return; }
    soabi=$(sed -n 's/^set(KESTRO_PYTHON_SOABI "\(.*\)")$/\1/p' "$tc")
    # The backend runs here; the toolchain file names the compiler, the
    # sysroot and the interpreter, these variables the wheel's tags.
    settings+=(-C cmake.python-hints=false -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$tc")
    cross_env=(_PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=".$soabi.so")
  fi
  log "$cell: building"
  if ! (cd "$src" && env "${cross_env[@]}" "$backend_py" - "$dir/plain" "${settings[@]}" >"$dir/build.log" 2>&1 <<'PY'
import sys
from scikit_build_core.build import build_wheel
out, args = sys.argv[1], sys.argv[2:]
settings = {}
for flag, value in zip(args[::2], args[1::2]):
    key, _, val = value.partition("=")
    settings[key] = val
print(build_wheel(out, settings))
PY
  ); then
    tail -n 40 "$dir/build.log" >&2
    result "$cell" FAILED "the build failed ($dir/build.log)"
    return
  fi
  local plain
  plain=$(ls "$dir"/plain/kestro-*.whl)

  # Repair, and check what auditwheel made.
  # (the libraries the module was linked against: the build's sysroot is
  # bookworm's, whose yyjson comes from trixie, as 3.11's runs on)
  local libpath=""
  [ "$arch" = aarch64 ] && libpath=$(bash scripts/aarch64.sh --sysroot 3.11)/usr/lib/aarch64-linux-gnu
  if ! LD_LIBRARY_PATH=$libpath PATH=$(dirname "$tools_py"):$PATH "$tools_py" -m auditwheel repair \
      -w "$dir/repaired" "$plain" >"$dir/repair.log" 2>&1; then
    tail -n 20 "$dir/repair.log" >&2
    result "$cell" FAILED "auditwheel repair failed ($dir/repair.log)"
    return
  fi
  local wheel
  wheel=$(ls "$dir"/repaired/kestro-*.whl)
  if ! "$tools_py" - "$wheel" "$arch" <<'PY'
import re, sys, zipfile
wheel, arch = sys.argv[1:]
names = zipfile.ZipFile(wheel).namelist()
assert re.search(rf"manylinux_2_\d+_{arch}\.whl$", wheel), wheel
for lib in ("yyjson", "xxhash"):
    assert [n for n in names if re.fullmatch(rf"kestro\.libs/lib{lib}-[0-9a-f]+\.so.*", n)], (lib, names)
assert "kestro.pyi" in names and "kestro/py.typed" in names, names
PY
  then
    result "$cell" FAILED "the repaired wheel lacks what it must carry"
    return
  fi
  cp "$wheel" "$dist/"

  if [ -n "$untested" ]; then
    local missing
    if ! missing=$(missing_api "$wheel" "$v" "$dir"); then
      result "$cell" FAILED "$(basename "$wheel"): cannot list the functions it asks for"
    elif [ -n "$missing" ]; then
      result "$cell" FAILED "$(basename "$wheel") asks for what CPython $v does not export: $missing"
    else
      result "$cell" built "$(basename "$wheel") (auditwheel checked it; $untested)"
    fi
    return
  fi

  # The interpreter of the cell runs the tests, where it can be had here.
  if [ "$arch" = x86_64 ]; then
    test_py=$(bash scripts/env.sh "$v") || { result "$cell" FAILED "no test environment"; return; }
  else
    test_py=$(bash scripts/aarch64.sh "$v") || { result "$cell" FAILED "no arm64 test environment"; return; }
  fi
  # A copy of the pristine test environment (launchers name themselves, so
  # they work from the copy) with the wheel installed by pip.
  local envdir pyname
  envdir=$(dirname "$(dirname "$test_py")")
  pyname=$(basename "$test_py")
  cp -a "$envdir" "$dir/env"
  rm -f "$dir/env/.ready"
  log "$cell: testing $(basename "$wheel")"
  if ! PYTHONPATH=$pipdir "$dir/env/bin/$pyname" -m pip install -q --no-deps --no-index "$wheel" \
      >"$dir/install.log" 2>&1; then
    tail -n 20 "$dir/install.log" >&2
    result "$cell" FAILED "pip could not install the wheel"
    return
  fi
  local mapped
  mapped=$(cd "$dir" && "$dir/env/bin/$pyname" -c "$MAPPED") || { result "$cell" FAILED "the installed module does not import"; return; }
  local site libs
  site=$(realpath "$(dirname "$(echo "$mapped" | head -n 1)")")
  libs=$(echo "$mapped" | tail -n +2)
  if [ "$site" != "$(realpath "$dir/env")/$(cd "$dir/env" && ls -d lib/python*/site-packages)" ] ||
     [ "$(echo "$libs" | wc -l)" != 2 ] || echo "$libs" | grep -qv "/kestro.libs/"; then
    result "$cell" FAILED "the module is not the installed one, or maps other libraries: $mapped"
    return
  fi
  # The suite of the same snapshot as the source distribution.  Under
  # emulation the heaviest randomized tests take fewer examples, and the
  # benchmark harness' tests, which time child processes, and the callback
  # leak run, which traces every allocation of 900 calls in an interpreter of
  # its own, are left out (neither has anything of the processor's).
  local slow=()
  [ "$arch" = aarch64 ] && slow=(env KESTRO_LIGHT=1)
  local skip=()
  [ "$arch" = aarch64 ] && skip=(--ignore "$work/clone/tests/python/test_bench.py"
    --deselect tests/python/test_callbacks.py::test_callbacks_leak_nothing)  # node ids are the rootdir's
  if (cd "$dir" && "${slow[@]}" "$dir/env/bin/$pyname" -m pytest -q -p no:cacheprovider \
        -c "$work/clone/pytest.ini" --rootdir "$work/clone" "$work/clone/tests/python" "${skip[@]}" \
        >"$dir/test.log" 2>&1); then
    result "$cell" tested "$(basename "$wheel") ($(tail -n 1 "$dir/test.log" | tr -d '=' | sed 's/^ *//'))"
  else
    tail -n 30 "$dir/test.log" >&2
    result "$cell" FAILED "$(basename "$wheel"): the suite failed ($dir/test.log)"
  fi
}

for cell in "${cells[@]}"; do run_cell "$cell"; done

echo
echo "kestro $version: $dist/$sdist_name and these wheels"
printf '%s\n' "${results[@]}"
exit "$failed"
