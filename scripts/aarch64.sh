#!/usr/bin/env bash
# Debian's CPython for 64-bit ARM (aarch64), run under qemu-user, and the
# cross build of the module for it.  Prints one path:
#
#   bash scripts/aarch64.sh 3.13               # the python of its environment with requirements/test.txt
#   bash scripts/aarch64.sh -r NAME 3.13       # requirements/NAME.txt instead
#   bash scripts/aarch64.sh --bare 3.13        # the interpreter alone (a launcher)
#   bash scripts/aarch64.sh --toolchain 3.13   # a CMake toolchain file that builds for it
#   bash scripts/aarch64.sh --sysroot 3.13     # the folder of Debian's arm64 packages it runs on
#   cmake -S . -B build/arm -DCMAKE_TOOLCHAIN_FILE="$(bash scripts/aarch64.sh --toolchain 3.13)"
#
# The interpreters are Debian's arm64 packages: 3.11 from bookworm, 3.13 from
# trixie, 3.14 and 3.15 from unstable.  Debian has no arm64 3.10, 3.12 or
# free-threaded 3.13t: for those only --toolchain answers, with the headers of
# the machine's own CPython of that version carried over to arm64 (see
# cross_headers below), so that their wheels can be built, though not run.
# Each release
# is unpacked (never installed) into a sysroot of its own with the libraries
# its interpreter needs, yyjson and xxHash included; the bookworm one also
# holds what the cross build links against (yyjson taken from trixie, as on
# the machine itself, and GoogleTest).  The compiler is Debian's
# g++-aarch64-linux-gnu; an interpreter runs through qemu-aarch64-static with
# its sysroot as the library prefix, so no binfmt registration is needed.
# A launcher names itself as the executable (qemu's -0), which makes a
# virtual environment of it and lets programs start it again as a subprocess.
#
# Everything lives under ${KESTRO_CACHE:-${XDG_CACHE_HOME:-~/.cache}/kestro}:
#   aarch64/SUITE/   the sysroots (root/) and their private apt state (apt/)
#   aarch64/bin/     the interpreters' launchers and the toolchain files
#   envs/            the environments, named aarch64-NAME-3.X-HASH
# Progress goes to stderr; stdout carries only the path asked for.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
# shellcheck source=lib/debian.sh
. "$here/lib/debian.sh"
# shellcheck source=lib/sysroot.sh
. "$here/lib/sysroot.sh"
unset PYTHONPATH PYTHONHOME

usage() { sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
log() { echo "aarch64: $*" >&2; }
die() { echo "aarch64: $*" >&2; exit 1; }

reqname=test
mode=env
while [ $# -gt 0 ]; do
  case $1 in
    -r|--requirements) [ $# -ge 2 ] || usage; reqname=$2; shift 2 ;;
    --bare) mode=bare; shift ;;
    --toolchain) mode=toolchain; shift ;;
    --sysroot) mode=sysroot; shift ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || usage
v=$1
case $v in
  3.11) suite=bookworm ;;
  3.13) suite=trixie ;;
  3.14|3.15) suite=sid ;;
  3.10|3.12|3.13t)
    [ "$mode" = toolchain ] || die "Debian has no arm64 CPython $v (only --toolchain, for building)"
    suite="" ;;
  3.[0-9]|3.[0-9][0-9]) die "Debian has no arm64 CPython $v" ;;
  *) die "unknown interpreter '$v' (3.X)" ;;
esac
req=$top/requirements/$reqname.txt
[ -f "$req" ] || die "no requirements file $req"

home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache=${KESTRO_CACHE:-${XDG_CACHE_HOME:-$home/.cache}/kestro}
base=$cache/aarch64
mkdir -p "$cache/locks" "$base/bin"

# Holds $cache/locks/NAME until the script ends.  A lock already held is not
# taken again: flock on a second descriptor of the same file would wait for
# the first, held by this very script, for ever.
declare -A held_locks=()
lock() {
  [ -n "${held_locks[$1]:-}" ] && return 0
  local fd
  exec {fd}>"$cache/locks/$1.lock"
  flock "$fd"
  held_locks[$1]=$fd
}


bash "$here/setup.sh" >/dev/null || die "setup failed"
qemu=$(command -v qemu-aarch64-static) || die "qemu-aarch64-static is missing (scripts/setup.sh installs it)"
# The emulated processor: qemu's own "max", with the pointer authentication
# codes computed by its fast, implementation-defined algorithm instead of the
# architecture's QARMA cipher.  Debian builds trixie's and unstable's arm64
# packages with branch protection, so every function call signs and checks
# its return address; with QARMA emulated, arm64 CPython 3.13 took 5.4 s to
# import numpy instead of 1.4 (3.11, from bookworm, has no such code: 1.1 s).
qemu_cpu=max,pauth-impdef=on

# What each sysroot holds, beyond what apt pulls in: the interpreters of its
# release, their headers, the C++ runtime numpy's wheels need, yyjson and
# xxHash.  Bumping layout fetches every sysroot anew.
layout=1
suite_packages() {
  local p=(libstdc++6 libyyjson0 libxxhash0)
  case $1 in
    bookworm) p+=(python3.11 libpython3.11-dev libyyjson-dev libxxhash-dev libgtest-dev) ;;
    trixie) p+=(python3.13 libpython3.13-dev) ;;
    sid) p+=(python3.14 libpython3.14-dev python3.15 libpython3.15-dev) ;;
  esac
  echo "${p[@]}"
}

# The sysroot of a Debian release, fetched once: printed root folder.
sysroot() {
  local s=$1 dir=$base/$1
  if [ "$(cat "$dir/ready" 2>/dev/null)" != "$layout $(suite_packages "$s")" ]; then
    lock "aarch64-$s"
    if [ "$(cat "$dir/ready" 2>/dev/null)" != "$layout $(suite_packages "$s")" ]; then
      log "fetching Debian $s's arm64 packages into $dir/root"
      local extra=()
      [ "$s" = bookworm ] && extra=(trixie 'libyyjson*')
      # shellcheck disable=SC2046
      sysroot_fetch "$dir" arm64 "$s" "${extra[@]}" -- $(suite_packages "$s") || die "fetching $s failed"
      echo "$layout $(suite_packages "$s")" >"$dir/ready"
    fi
  fi
  echo "$dir/root"
}

# A launcher of the interpreter under qemu.  OUT ROOT [argv0]: with argv0 the
# interpreter sees the launcher's own path as its executable.
write_launcher() {
  local out=$1 root=$2 argv0=${3:-}
  {
    echo '#!/bin/sh'
    printf 'exec %q -cpu %s -L %q%s %q "$@"\n' "$qemu" "$qemu_cpu" "$root" "${argv0:+ -0 \"\$0\"}" "$root/usr/bin/python$v"
  } >"$out.tmp"
  chmod +x "$out.tmp"
  mv "$out.tmp" "$out"
}

# ---- versions Debian has no arm64 interpreter of: headers carried over ------

# Writes, into $base/include-$v and $base/cross-$v, the headers and the
# sysconfig data of the machine's own CPython $v as they are on arm64 Linux,
# and prints a launcher of the machine's interpreter that answers with that
# sysconfig data (the module suffix, the platform), for CMake to ask.  Only
# pyconfig.h differs by processor: Debian's x86-64 and arm64 builds of 3.11
# differ in four definitions (the x87 and x86-64 assembly, whether wchar_t is
# usable as Py_UNICODE, the support tier), and those definitions are carried
# from one to the other; the rest of CPython's headers is the same source.
cross_headers() {
  local host inc=$base/include-$v cross=$base/cross-$v launcher=$base/bin/python$v-cross
  host=$(bash "$here/env.sh" --bare "$v") || die "no CPython $v on this machine to take the headers of"
  local x86=/usr/include/x86_64-linux-gnu/python3.11/pyconfig.h
  local arm=$build_root/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h
  if [ ! -x "$launcher" ] || [ "$launcher" -ot "$host" ] || [ "$launcher" -ot "$base/bookworm/ready" ]; then
    lock "aarch64-bin"
    rm -rf "$inc" "$cross"
    mkdir -p "$inc" "$cross"
    "$host" - "$x86" "$arm" "$inc" "$cross" <<'PY' || die "carrying CPython $v's headers over to arm64 failed"
import re, shutil, sys, sysconfig
x86, arm, inc, cross = sys.argv[1:]

def definitions(text):
    # name -> the whole line, for every '#define NAME' or '/* #undef NAME */'
    return {m[1]: m[0] for m in re.finditer(r"^(?:#define|/\* #undef) (\w+).*$", text, re.M)}

a, b = definitions(open(x86).read()), definitions(open(arm).read())
moved = {name: (a[name], b[name]) for name in a.keys() & b.keys() if a[name] != b[name]}
src = sysconfig.get_config_var("INCLUDEPY")
dest = f"{inc}/{src.rstrip('/').rsplit('/', 1)[1]}"
shutil.copytree(src, dest)
text = open(f"{dest}/pyconfig.h").read()
for name, (x86_line, arm_line) in sorted(moved.items()):
    text = re.sub(rf"^{re.escape(x86_line)}$", arm_line.replace("\\", "\\\\"), text, flags=re.M)
text = text.replace("x86_64-linux-gnu", "aarch64-linux-gnu")
left = [l for l in text.splitlines() if l.startswith("#define") and re.search(r"x86|X86|X87|X64", l)]
assert not left, f"x86 definitions left in pyconfig.h: {left}"
open(f"{dest}/pyconfig.h", "w").write(text)

name = sysconfig._get_sysconfigdata_name()
data = __import__(name, fromlist=["build_time_vars"]).build_time_vars
carried = {k: v.replace("x86_64", "aarch64") if isinstance(v, str) else v for k, v in data.items()}
carried["INCLUDEPY"] = dest
out = name.replace("x86_64", "aarch64")
with open(f"{cross}/{out}.py", "w") as f:
    f.write(f"build_time_vars = {carried!r}\n")
PY
    local data
    data=$(ls "$cross" | sed -n 's/\.py$//p')
    {
      echo '#!/bin/sh'
      echo "# The machine's CPython $v answering as arm64's (written by scripts/aarch64.sh)."
      printf 'export _PYTHON_HOST_PLATFORM=linux-aarch64 _PYTHON_SYSCONFIGDATA_NAME=%q PYTHONPATH=%q\n' "$data" "$cross"
      printf 'exec %q "$@"\n' "$host"
    } >"$launcher.tmp"
    chmod +x "$launcher.tmp"
    mv "$launcher.tmp" "$launcher"
  fi
  echo "$launcher"
}

if [ -z "$suite" ]; then
  build_root=$(sysroot bookworm)
  python=$(cross_headers)
  root=""
else
  root=$(sysroot "$suite")
  python=$base/bin/python$v
  if [ ! -x "$python" ] || [ "$python" -ot "$base/$suite/ready" ] || ! grep -qF -- "-cpu $qemu_cpu" "$python"; then
    lock "aarch64-bin"
    write_launcher "$python" "$root"
    "$python" -c 'import ssl, zlib, ctypes, lzma, bz2, venv, platform; assert platform.machine() == "aarch64"' >&2 ||
      die "Debian's arm64 CPython $v does not start under qemu"
  fi
  # The standard library's bytecode, written once: the packages are unpacked,
  # not installed, so nothing wrote it, and where PYTHONDONTWRITEBYTECODE is set
  # every start under emulation would compile each module it imports again
  # (numpy's import took 12 s instead of 4).  One process: compileall's workers
  # do not start under qemu.
  stamp=$base/$suite/bytecode-$v
  if [ ! -f "$stamp" ] || [ "$stamp" -ot "$base/$suite/ready" ]; then
    lock "aarch64-bytecode-$suite"
    if [ ! -f "$stamp" ] || [ "$stamp" -ot "$base/$suite/ready" ]; then
      log "compiling the standard library of arm64 CPython $v (once; a minute or two under qemu)"
      "$python" -m compileall -q -o 0 -d "/usr/lib/python$v" \
        -x 'bad_coding|badsyntax|site-packages|dist-packages|/test/|idlelib|tkinter|turtledemo' \
        "$root/usr/lib/python$v" >/dev/null || die "compiling the standard library of arm64 CPython $v failed"
      touch "$stamp"
    fi
  fi
fi

case $mode in
  bare) echo "$python"; exit 0 ;;
  sysroot) echo "$root"; exit 0 ;;
  toolchain)
    build_root=$(sysroot bookworm)
    tc=$base/bin/toolchain-$v.cmake
    # The Python headers of this version, alone in a folder: adding the whole
    # of another release's /usr/include would put its newer C library headers
    # before the cross compiler's own.  (cross_headers made them already
    # where Debian has no interpreter.)
    inc=$base/include-$v
    if [ -n "$suite" ] && { [ ! -f "$inc/python$v/Python.h" ] || [ "$inc" -ot "$base/$suite/ready" ]; }; then
      lock "aarch64-bin"
      rm -rf "$inc"
      mkdir -p "$inc/aarch64-linux-gnu"
      cp -a "$root/usr/include/python$v" "$inc/"
      cp -a "$root/usr/include/aarch64-linux-gnu/python$v" "$inc/aarch64-linux-gnu/"
    fi
    command -v aarch64-linux-gnu-g++ >/dev/null || die "aarch64-linux-gnu-g++ is missing (apt-get install g++-aarch64-linux-gnu)"
    lib=$build_root/usr/lib/aarch64-linux-gnu
    soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))') || die "arm64 CPython $v does not start"
    cat >"$tc.tmp" <<CMAKE
# Cross build for Debian's arm64 CPython $v (written by scripts/aarch64.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Libraries, headers and CMake packages from the bookworm sysroot only; the
# compiler keeps its own C library, which is bookworm's.
set(CMAKE_FIND_ROOT_PATH "$build_root")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "$lib/pkgconfig:$build_root/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "$build_root")
set(ENV{PKG_CONFIG_PATH} "")
# The libraries those libraries need, for linking programs (the unit tests).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,$lib:$build_root/lib/aarch64-linux-gnu")
# Programs built here (the unit tests) run under qemu with the sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR "$qemu;-cpu;$qemu_cpu;-L;$build_root")
set(Python3_EXECUTABLE "$python" CACHE FILEPATH "")
set(Python3_INCLUDE_DIR "$inc/python$v" CACHE PATH "")
# The module's file name suffix, which FindPython does not ask a foreign interpreter for.
set(KESTRO_PYTHON_SOABI "$soabi")
CMAKE
    if [ "$v" = 3.11 ]; then
      echo "set(Python3_LIBRARY \"$lib/libpython3.11.so\" CACHE FILEPATH \"\")" >>"$tc.tmp"
    fi
    mv "$tc.tmp" "$tc"
    echo "$tc"
    exit 0
    ;;
esac

# ---- the environment (as scripts/env.sh makes them) --------------------------

pip_version=$(sed -n 's/^pip==\([^ ;#]*\).*/\1/p' "$top/requirements/pip.txt")
pipdir=$cache/pip/$pip_version
# The pinned pip, pure Python, is the one scripts/env.sh unpacks.
if [ ! -f "$pipdir/.ready" ]; then
  bash "$here/env.sh" default >/dev/null || die "fetching pip failed"
fi

req_files() {
  local f=$1 inc
  echo "$f"
  sed -n -E 's/^[[:space:]]*(-r|-c|--requirement|--constraint)[[:space:]=]+([^[:space:]]+).*/\2/p' "$f" |
    while read -r inc; do req_files "$(dirname "$f")/$inc"; done
}

env_layout=3
ident=$("$python" -c 'import sys; print(sys.executable); print(sys.version)')
key=$({
  echo "$env_layout $pip_version aarch64"
  echo "$ident"
  req_files "$req" | while read -r f; do cat "$f"; done
} | sha256sum | cut -c1-12)
envdir=$cache/envs/aarch64-$reqname-$v-$key

if [ ! -f "$envdir/.ready" ]; then
  lock "env-aarch64-$reqname-$v-$key"
  if [ ! -f "$envdir/.ready" ]; then
    log "building $envdir (arm64 CPython $v under qemu, requirements/$reqname.txt)"
    rm -rf "$envdir"
    mkdir -p "$cache/envs"
    "$python" -m venv --without-pip "$envdir" >&2 || die "python -m venv failed for arm64 $v"
    rm -f "$envdir/bin/python$v"
    write_launcher "$envdir/bin/python$v" "$root" argv0
    # pip runs natively, on the machine's CPython of the same version (whose
    # markers are the ones that matter: they name Python versions), choosing
    # the arm64 wheels of the release's C library for the environment's
    # site-packages; pip under emulation takes minutes.  The emulated
    # interpreter then checks what was installed.
    host=$(bash "$here/env.sh" --bare "$v") || die "no CPython $v for this machine to run pip with"
    site=$("$envdir/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    # Every manylinux tag the release's C library (2.M) satisfies: pip takes
    # the tags it is given as they are.
    platforms=(--platform manylinux2014_aarch64)
    for m in $(seq 17 "$("$envdir/bin/python" -c 'import platform; print(platform.libc_ver()[1].split(".")[1])')"); do
      platforms+=(--platform "manylinux_2_${m}_aarch64")
    done
    PIP_CACHE_DIR=$cache/pip-cache PYTHONPATH=$pipdir "$host" -m pip install -qq --no-input \
      --only-binary=:all: --disable-pip-version-check --no-warn-script-location \
      --target "$site" "${platforms[@]}" --python-version "$v" \
      --implementation cp --abi "cp${v/./}" -r "$req" >&2 ||
      die "installing requirements/$reqname.txt failed for arm64 $v"
    PYTHONPATH=$pipdir "$envdir/bin/python" -m pip check >/dev/null || die "inconsistent environment $envdir"
    touch "$envdir/.ready"
    find "$cache/envs" -mindepth 2 -maxdepth 2 -name .ready -mtime +7 -printf '%h\n' |
      while read -r old; do rm -rf "$old"; done
  fi
fi
touch "$envdir/.ready"
echo "$envdir/bin/python"
