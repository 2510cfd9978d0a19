# Sourced by scripts/env.sh: free-threaded CPython (PEP 703) built from the
# source of the interpreter that Debian's archive carries, the archive being
# the one the machine's own apt sources name.  The caller defines `cache`,
# `log`, `die` and `lock` (scripts/env.sh does).
#
#   ft_python 3.13         # prints the interpreter, building it on first use
#   ft_python 3.13 tsan    # the same source built with ThreadSanitizer
#
# Kept under $cache/ft: apt/ (a private apt state with deb-src entries), src/
# (the upstream tarballs apt fetched) and one installation per build
# (3.13t/, 3.13t-tsan/).  A version whose source the archive does not serve
# ends the script with status 3, which callers may treat as "not available".

ft=$cache/ft

# apt-get/apt-cache with a source list, package lists and caches of its own:
# the machine's apt sources and state are neither read nor changed.
ft_apt() {
  local tool=$1; shift
  "$tool" -o "Dir::Etc::SourceList=$ft/apt/src.sources" -o "Dir::Etc::SourceParts=$ft/apt/parts" \
    -o "Dir::Etc::Preferences=$ft/apt/preferences" -o "Dir::Etc::PreferencesParts=$ft/apt/parts" \
    -o "Dir::State::Lists=$ft/apt/lists" -o "Dir::State::status=$ft/apt/status" \
    -o "Dir::Cache=$ft/apt/cache" -o Acquire::Languages=none \
    -o "APT::Sandbox::User=$(id -un)" -o Debug::NoLocking=1 "$@"
}

# Prints the upstream tarball of CPython $1 (3.X): the newest version of
# Debian's source package python3.X in trixie, sid or experimental that the
# archive serves (apt checks it against the signed index).  Fetched once; a
# version found missing is not looked for again for a day.
ft_source() {
  local v=$1 tarball uri keyring versions ver missing=$ft/src/python$1.missing
  tarball=$(ls "$ft/src/python${v}_"*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | sort -V | tail -n 1)
  if [ -n "$tarball" ]; then echo "$tarball"; return 0; fi
  if [ -n "$(find "$missing" -mmin -1440 2>/dev/null)" ]; then
    log "$(cat "$missing") (looked for at $(date -r "$missing" +%H:%M); delete $missing to look again)"
    exit 3
  fi
  uri=$(debian_archive_uri) || die "CPython ${v}t: the machine's apt sources name no Debian archive to take its source from"
  keyring=$(debian_keyring || true)
  mkdir -p "$ft/apt/lists/partial" "$ft/apt/cache/archives/partial" "$ft/apt/parts" "$ft/src"
  : >"$ft/apt/status"
  {
    echo "Types: deb-src"
    echo "URIs: $uri"
    echo "Suites: trixie sid experimental"
    echo "Components: main"
    [ -n "$keyring" ] && echo "Signed-By: $keyring"
  } >"$ft/apt/src.sources"
  log "looking for the source of CPython $v in Debian's archive"
  # A suite the archive lacks fails the update but leaves the others usable.
  ft_apt apt-get -qq update >&2 || log "apt-get update of the source lists reported errors (above)"
  versions=$(ft_apt apt-cache showsrc "python$v" 2>/dev/null | sed -n 's/^Version: //p' | sort -Vru)
  if [ -z "$versions" ]; then
    echo "Debian's archive has no source package python$v" >"$missing"
    log "$(cat "$missing")"
    exit 3
  fi
  # The index may list versions whose files the archive no longer serves
  # (superseded uploads); the newest one it does is taken.
  rm -rf "$ft/src/dl"
  mkdir -p "$ft/src/dl"
  for ver in $versions; do
    if (cd "$ft/src/dl" && ft_apt apt-get -qq source --download-only "python$v=$ver" >/dev/null 2>&1); then
      tarball=$(ls "$ft/src/dl/python${v}_"*.orig.tar.* | grep -v '\.asc$' | head -n 1)
      mv "$tarball" "$ft/src/"
      rm -rf "$ft/src/dl"
      log "source of CPython $v: Debian's python$v $ver"
      echo "$ft/src/$(basename "$tarball")"
      return 0
    fi
  done
  rm -rf "$ft/src/dl"
  echo "Debian's archive lists python$v" $versions "but serves none of its source files" >"$missing"
  log "$(cat "$missing")"
  exit 3
}

# What a build leaves out.  The suite and pip need ssl, zlib, ctypes, lzma,
# bz2, hashlib, venv and _testcapi (the allocation-failure tests); none of
# these modules is imported by either, and each costs build time.  decimal
# falls back to its pure-Python implementation.
ft_unneeded_modules="_tkinter _curses _curses_panel readline _dbm _gdbm _sqlite3 _decimal
  _multibytecodec _codecs_cn _codecs_hk _codecs_iso2022 _codecs_jp _codecs_kr _codecs_tw
  _testinternalcapi _testbuffer _testclinic _testclinic_limited _testlimitedcapi
  _testimportmultiple _testmultiphase _testsinglephase _testexternalinspection _xxtestfuzz
  _ctypes_test xxlimited xxlimited_35 xxsubtype _zstd _remote_debugging _testcapi_fuzz"

# ft_python 3.X [tsan]: prints the free-threaded interpreter, built and
# installed under $ft on first use.  A build is redone when its recipe (the
# configure arguments below) changes.
ft_python() {
  local v=$1 kind=${2:-} name prefix recipe tarball work m
  name=${v}t${kind:+-$kind}
  prefix=$ft/$name
  local args=(--prefix="$prefix" --disable-gil --with-ensurepip=no)
  if [ "$kind" = tsan ]; then
    # Symbols and frames for the reports; -O1 keeps the stacks close to the source.
    args+=(--with-thread-sanitizer OPT="-DNDEBUG -g -O1 -fno-omit-frame-pointer")
  else
    # No PGO, no LTO, no debug information: what the suite needs, quickly built.
    args+=(OPT="-DNDEBUG -O2")
  fi
  for m in $ft_unneeded_modules; do args+=("py_cv_module_$m=n/a"); done
  recipe="2 ${args[*]}"
  if [ "$(cat "$prefix/.ready" 2>/dev/null)" = "$recipe" ]; then
    echo "$prefix/bin/python${v}t"
    return 0
  fi
  lock "ft-$name"
  if [ "$(cat "$prefix/.ready" 2>/dev/null)" != "$recipe" ]; then
    tarball=$(lock ft-source; ft_source "$v") || exit $?
    work=$ft/build-$name
    log "building CPython $(basename "$tarball" | sed 's/.*_\(.*\)\.orig.*/\1/') free-threaded${kind:+ with $kind} into $prefix"
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    tar xf "$tarball" -C "$work" --strip-components=1
    local started=$SECONDS jobs compiler
    jobs=$(nproc)
    # The install runs no Python (PYTHON_FOR_BUILD=true): it would compile
    # the standard library at three optimisation levels, where one is used.
    # Its test packages stay out.
    if ! (cd "$work" && ./configure -q "${args[@]}" && make -j"$jobs" &&
          make install PYTHON_FOR_BUILD=true TEST_MODULES=no) >"$work/build.log" 2>&1; then
      tail -n 40 "$work/build.log" >&2
      die "building CPython ${v}t failed (the whole log: $work/build.log)"
    fi
    # The bytecode, written now: where PYTHONDONTWRITEBYTECODE is set it is
    # never written later, and every start would compile the modules again.
    # For the sanitized build the plain build of the same source writes it
    # (the same bytecode, many times faster).
    compiler=$prefix/bin/python${v}t
    if [ "$kind" = tsan ]; then compiler=$(ft_python "$v") || exit $?; fi
    "$compiler" -m compileall -q -j0 -o 0 -x 'bad_coding|badsyntax|site-packages' \
      "$prefix/lib/python${v}t" >/dev/null || die "compiling the standard library of CPython ${v}t failed"
    "$prefix/bin/python${v}t" -c '
import sys, sysconfig, ssl, zlib, ctypes, lzma, bz2, hashlib, venv, _testcapi
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1 and not sys._is_gil_enabled()' >&2 ||
      die "the free-threaded CPython ${v}t just built does not start with what it needs"
    rm -rf "$work"
    log "built CPython ${v}t${kind:+ ($kind)} in $((SECONDS - started)) s"
    echo "$recipe" >"$prefix/.ready"
  fi
  echo "$prefix/bin/python${v}t"
}
