# Sourced by the scripts that build for, or run on, another processor: a
# folder holding a Debian release's packages for that processor (a sysroot),
# fetched through a private apt state and unpacked with dpkg-deb, never
# installed.  Needs debian.sh.

# sysroot_fetch DIR ARCH SUITE [EXTRA_SUITE PATTERN] -- PACKAGE...
#
# Unpacks PACKAGE... and everything they depend on, as Debian's SUITE has
# them for ARCH, into DIR/root; apt's lists, caches and an empty status of
# its own live in DIR/apt, so the machine's apt sources and state are neither
# read nor changed.  With EXTRA_SUITE, packages whose names match the glob
# PATTERN come from that suite (which is otherwise pinned out), as the
# machine's own setup takes yyjson from trixie.  The archive is the one the
# machine's own apt sources use.  Fails when a package cannot be had.
sysroot_fetch() {
  local dir=$1 arch=$2 suite=$3 extra="" pattern=""
  shift 3
  if [ "${1:-}" != -- ]; then extra=$1; pattern=$2; shift 2; fi
  [ "${1:-}" = -- ] && shift
  local uri keyring
  uri=$(debian_archive_uri) || { echo "sysroot: the machine's apt sources name no Debian archive" >&2; return 1; }
  keyring=$(debian_keyring || true)
  mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/apt/parts" "$dir/apt/dpkg/info"
  : >"$dir/apt/dpkg/status"
  local s
  : >"$dir/apt/kestro.sources"
  for s in "$suite" $extra; do
    {
      echo "Types: deb"
      echo "URIs: $uri"
      echo "Suites: $s"
      echo "Components: main"
      echo "Architectures: $arch"
      [ -n "$keyring" ] && echo "Signed-By: $keyring"
      echo
    } >>"$dir/apt/kestro.sources"
  done
  : >"$dir/apt/preferences"
  if [ -n "$extra" ]; then
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 50\n\nPackage: %s\nPin: release n=%s\nPin-Priority: 990\n' \
      "$extra" "$pattern" "$extra" >"$dir/apt/preferences"
  fi
  local apt=(-o "Dir::Etc::SourceList=$dir/apt/kestro.sources" -o "Dir::Etc::SourceParts=$dir/apt/parts"
             -o "Dir::Etc::Preferences=$dir/apt/preferences" -o "Dir::Etc::PreferencesParts=$dir/apt/parts"
             -o "Dir::State=$dir/apt" -o "Dir::State::Lists=$dir/apt/lists"
             -o "Dir::State::status=$dir/apt/dpkg/status" -o "Dir::Cache=$dir/apt/cache"
             -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
             -o "APT::Default-Release=$suite" -o Acquire::Languages=none
             -o "APT::Sandbox::User=$(id -un)" -o Debug::NoLocking=1
             -o "APT::Get::AllowUnauthenticated=false" -o "APT::Install-Recommends=false")
  apt-get "${apt[@]}" -qq update >&2 || { echo "sysroot: apt-get update for $suite/$arch failed" >&2; return 1; }
  rm -f "$dir"/apt/cache/archives/*.deb
  apt-get "${apt[@]}" -qq -y --download-only install "$@" >&2 ||
    { echo "sysroot: $suite has no complete set of $* for $arch" >&2; return 1; }
  local deb
  rm -rf "$dir/root.new"
  mkdir -p "$dir/root.new"
  for deb in "$dir"/apt/cache/archives/*.deb; do dpkg-deb -x "$deb" "$dir/root.new"; done
  rm -f "$dir"/apt/cache/archives/*.deb
  # Releases whose packages put everything under /usr rely on the system's
  # /lib -> usr/lib and /bin -> usr/bin, which no package holds.
  local top
  for top in lib bin sbin; do
    [ -e "$dir/root.new/$top" ] || [ ! -d "$dir/root.new/usr/$top" ] || ln -s "usr/$top" "$dir/root.new/$top"
  done
  # Absolute links inside the tree (libfoo.so -> /lib/...) are made relative,
  # so that the host's tools that follow them stay inside it.
  local link target
  find "$dir/root.new" -type l -lname '/*' -print0 |
    while IFS= read -r -d '' link; do
      target=$(readlink "$link")
      ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$dir/root.new$target")" "$link"
    done
  rm -rf "$dir/root"
  mv "$dir/root.new" "$dir/root"
}
