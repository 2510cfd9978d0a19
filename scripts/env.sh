#!/usr/bin/env bash
# Finds a CPython, gives it an environment of its own with the pinned
# requirements, and prints that environment's python.
#
#   bash scripts/env.sh 3.14              # CPython 3.14 with requirements/test.txt
#   bash scripts/env.sh default           # the machine's python3 (Debian's 3.11)
#   bash scripts/env.sh -r bench 3.12     # requirements/bench.txt instead
#   bash scripts/env.sh --bare 3.15       # the interpreter alone, no environment
#   bash scripts/env.sh 3.13t             # free-threaded CPython 3.13 (built here)
#   "$(bash scripts/env.sh 3.13)" -m pytest tests/python
#
# Where an interpreter comes from (the first that has it): the machine's own
# /usr/bin/python3.X; pyenv's newest 3.X.N; the machine's release, installed
# with apt; Debian unstable's packages, unpacked (not installed) into one
# private folder and started through that folder's own loader.  The
# free-threaded 3.Xt is built from Debian's source of the interpreter
# (scripts/lib/cpython.sh; 3.Xt-tsan is the same built with ThreadSanitizer);
# where the archive serves no such source the script exits with status 3.
#
# Everything is kept outside the source tree, under
# ${KESTRO_CACHE:-${XDG_CACHE_HOME:-~/.cache}/kestro}:
#   sid/    the unpacked interpreters (sid/root, launchers in sid/bin) and
#           apt's private state for them; delete it to fetch anew
#   ft/     the free-threaded interpreters (ft/3.13t, ...), the source they
#           are built from and apt's private state for it
#   pip/    the pinned installer (requirements/pip.txt), unpacked from its wheel
#   envs/   one virtual environment per requirements file, interpreter and
#           contents: a changed requirements file or interpreter gets a new
#           one, and those unused for a week are removed
# Progress goes to stderr; stdout carries only the python's path.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
# shellcheck source=lib/debian.sh
. "$here/lib/debian.sh"
unset PYTHONPATH PYTHONHOME PYTHON_GIL

usage() { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
log() { echo "env: $*" >&2; }
die() { echo "env: $*" >&2; exit 1; }

reqname=test
bare=0
while [ $# -gt 0 ]; do
  case $1 in
    -r|--requirements) [ $# -ge 2 ] || usage; reqname=$2; shift 2 ;;
    --bare) bare=1; shift ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || usage
want=$1
case $want in
  default|3.[0-9]|3.[0-9][0-9]|3.[0-9]t|3.[0-9][0-9]t|3.[0-9]t-tsan|3.[0-9][0-9]t-tsan) ;;
  *) die "unknown interpreter '$want' (3.X, 3.Xt, 3.Xt-tsan or default)" ;;
esac
req=$top/requirements/$reqname.txt
[ -f "$req" ] || die "no requirements file $req"

home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache=${KESTRO_CACHE:-${XDG_CACHE_HOME:-$home/.cache}/kestro}
mkdir -p "$cache/locks"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi

bash "$here/setup.sh" >/dev/null || die "setup failed"
# shellcheck source=lib/cpython.sh
. "$here/lib/cpython.sh"

# Holds $cache/locks/NAME until the script ends: several checkouts may build
# the same interpreter or environment at once.
lock() {
  local fd
  exec {fd}>"$cache/locks/$1.lock"
  flock "$fd"
}

# ---- interpreters ------------------------------------------------------------

# Whether the machine's release itself (or its updates) offers package $1.
release_has() {
  local codename
  codename=$(debian_codename)
  [ -n "$codename" ] && command -v apt-cache >/dev/null 2>&1 &&
    apt-cache madison "$1" 2>/dev/null | grep -qE " ${codename}(-updates|-security)?/"
}

# Headers and the venv module for a python3.X of the machine's release.
release_install() {
  local v=$1
  [ -f "/usr/include/python$v/Python.h" ] && return 0
  log "installing python$v-dev from the machine's release"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "python$v" "python$v-dev" "python$v-venv" >&2
}

sid=$cache/sid
sidroot=$sid/root

# The launcher of an unpacked interpreter: the folder's own loader and C
# library first, the machine's libraries for the rest.  OUT [ARGV0]: with
# ARGV0 the interpreter sees the launcher's own path as its executable, which
# is what makes a virtual environment of it and lets it start itself again.
write_launcher() {
  local out=$1 v=$2 argv0=${3:-} loader multiarch
  multiarch=$(cat "$sid/multiarch")
  loader=$(cd "$sidroot/usr/lib/$multiarch" && ls ld-linux*.so.* | head -n 1)
  {
    echo '#!/bin/sh'
    printf 'exec %q --library-path %q%s %q "$@"\n' "$sidroot/usr/lib/$multiarch/$loader" \
      "$sidroot/usr/lib/$multiarch:/usr/lib/$multiarch" "${argv0:+ --argv0 \"\$0\"}" \
      "$sidroot/usr/bin/python$v"
  } >"$out.tmp"
  chmod +x "$out.tmp"
  mv "$out.tmp" "$out"
}

# CPython 3.X from Debian unstable, unpacked under $sid: printed launcher.
sid_python() {
  local v=$1
  lock sid
  if [ ! -f "$sid/python$v.ready" ]; then
    local uri keyring apt libc
    uri=$(debian_archive_uri) || die "CPython $v: the machine's apt sources name no Debian archive to take it from"
    keyring=$(debian_keyring || true)
    log "fetching CPython $v from Debian unstable into $sidroot"
    mkdir -p "$sid/apt/lists/partial" "$sid/apt/cache/archives/partial" "$sid/apt/parts" "$sid/debs" "$sid/bin"
    : >"$sid/apt/status"
    {
      echo "Types: deb"
      echo "URIs: $uri"
      echo "Suites: sid"
      echo "Components: main"
      [ -n "$keyring" ] && echo "Signed-By: $keyring"
    } >"$sid/apt/sid.sources"
    # A source list, package lists and caches of its own: the machine's apt
    # sources and state are neither read nor changed.
    apt=(-o "Dir::Etc::SourceList=$sid/apt/sid.sources" -o "Dir::Etc::SourceParts=$sid/apt/parts"
         -o "Dir::Etc::Preferences=$sid/apt/preferences" -o "Dir::Etc::PreferencesParts=$sid/apt/parts"
         -o "Dir::State::Lists=$sid/apt/lists" -o "Dir::State::status=$sid/apt/status"
         -o "Dir::Cache=$sid/apt/cache" -o Acquire::Languages=none
         -o "APT::Sandbox::User=$(id -un)" -o Debug::NoLocking=1)
    apt-get "${apt[@]}" -qq update >&2 || die "CPython $v: apt-get update of Debian unstable failed"
    rm -f "$sid"/debs/*.deb
    (cd "$sid/debs" && apt-get "${apt[@]}" -qq download \
      "python$v" "python$v-minimal" "libpython$v" "libpython$v-minimal" "libpython$v-stdlib" \
      "libpython$v-dev" "python$v-dev" \
      libc6 libssl3t64 libexpat1 zlib1g libffi8 libzstd1 liblzma5 libbz2-1.0 >&2) ||
      die "CPython $v: Debian unstable has no complete set of its packages"
    local deb
    rm -rf "$sid/stage"
    for deb in "$sid"/debs/*.deb; do dpkg-deb -x "$deb" "$sid/stage"; done
    # Files already there are replaced, not written over: an interpreter
    # unpacked before may be running with them.
    mkdir -p "$sidroot"
    cp -a --remove-destination "$sid/stage/." "$sidroot/"
    rm -rf "$sid/stage"
    libc=$(ls "$sidroot"/usr/lib/*/libc.so.6 | head -n 1)
    basename "$(dirname "$libc")" >"$sid/multiarch"
    rm -f "$sid"/debs/*.deb
    write_launcher "$sid/bin/python$v" "$v"
    "$sid/bin/python$v" -c 'import ssl, zlib, ctypes, lzma, bz2, venv' >&2 ||
      die "CPython $v from Debian unstable does not start"
    touch "$sid/python$v.ready"
  fi
  echo "$sid/bin/python$v"
}

# Prints the interpreter for $1 (3.X, 3.Xt, 3.Xt-tsan or default).
find_python() {
  local v=$1 p
  case $v in
    3.*t) ft_python "${v%t}"; return ;;
    3.*t-tsan) ft_python "${v%t-tsan}" tsan; return ;;
  esac
  if [ "$v" = default ]; then
    [ -x /usr/bin/python3 ] || die "no /usr/bin/python3"
    v=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  fi
  if [ -x "/usr/bin/python$v" ]; then
    release_install "$v" || die "no headers for /usr/bin/python$v"
    echo "/usr/bin/python$v"
    return
  fi
  p=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$v".* 2>/dev/null | grep -E "/$v\.[0-9]+$" | sort -V | tail -n 1 || true)
  if [ -n "$p" ] && [ -x "$p/bin/python$v" ]; then
    echo "$p/bin/python$v"
    return
  fi
  if release_has "python$v-dev"; then
    release_install "$v" || die "installing python$v from the machine's release failed"
    echo "/usr/bin/python$v"
    return
  fi
  sid_python "$v"
}

python=$(find_python "$want")
if [ "$bare" = 1 ]; then
  echo "$python"
  exit 0
fi

# ---- the installer -----------------------------------------------------------

pip_version=$(sed -n 's/^pip==\([^ ;#]*\).*/\1/p' "$top/requirements/pip.txt")
[ -n "$pip_version" ] || die "requirements/pip.txt pins no pip"
pipdir=$cache/pip/$pip_version
if [ ! -f "$pipdir/.ready" ]; then
  lock pip
  if [ ! -f "$pipdir/.ready" ]; then
    log "fetching pip $pip_version"
    tmp=$cache/pip/tmp.$$
    rm -rf "$tmp"
    # The interpreter's bundled pip fetches the pinned one, once.
    /usr/bin/python3 -m venv "$tmp/venv" >&2 || die "python3 -m venv failed (is python3-venv installed?)"
    "$tmp/venv/bin/python" -m pip download -qq --no-deps --only-binary=:all: -d "$tmp/wheel" \
      -r "$top/requirements/pip.txt" >&2 || die "fetching pip $pip_version failed"
    rm -rf "$pipdir"
    "$tmp/venv/bin/python" -m zipfile -e "$tmp"/wheel/pip-*.whl "$pipdir"
    rm -rf "$tmp"
    touch "$pipdir/.ready"
  fi
fi

# ---- the environment ---------------------------------------------------------

# The requirements file and every file it takes in with -r or -c.
req_files() {
  local f=$1 inc
  echo "$f"
  sed -n -E 's/^[[:space:]]*(-r|-c|--requirement|--constraint)[[:space:]=]+([^[:space:]]+).*/\2/p' "$f" |
    while read -r inc; do req_files "$(dirname "$f")/$inc"; done
}

env_layout=1  # raised when the way environments are made changes
ident=$("$python" -c 'import sys; print(sys.executable); print(sys.version)')
short=$("$python" -c 'import sys, sysconfig
print("%d.%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
key=$({
  echo "$env_layout $pip_version"
  echo "$ident"
  req_files "$req" | while read -r f; do cat "$f"; done
} | sha256sum | cut -c1-12)
envdir=$cache/envs/$reqname-$short-$key

if [ ! -f "$envdir/.ready" ]; then
  lock "env-$reqname-$short-$key"
  if [ ! -f "$envdir/.ready" ]; then
    log "building $envdir ($(echo "$ident" | sed -n 2p | cut -d' ' -f1), requirements/$reqname.txt)"
    rm -rf "$envdir"
    mkdir -p "$cache/envs"
    "$python" -m venv --without-pip "$envdir" >&2 || die "python -m venv failed for $python"
    case $python in
      "$sid/bin/"*) rm -f "$envdir/bin/python$short"; write_launcher "$envdir/bin/python$short" "$short" argv0 ;;
    esac
    # pip runs on the environment's own interpreter, so that markers and wheel
    # tags are judged by it; it is not installed into the environment.
    PYTHONPATH=$pipdir "$envdir/bin/python" -m pip install -qq --no-input --only-binary=:all: \
      --no-warn-script-location -r "$req" >&2 || die "installing requirements/$reqname.txt failed for $python"
    PYTHONPATH=$pipdir "$envdir/bin/python" -m pip check >/dev/null || die "inconsistent environment $envdir"
    touch "$envdir/.ready"
    # Environments unused for a week go.
    find "$cache/envs" -mindepth 2 -maxdepth 2 -name .ready -mtime +7 -printf '%h\n' |
      while read -r old; do rm -rf "$old"; done
  fi
fi
touch "$envdir/.ready"
echo "$envdir/bin/python"
