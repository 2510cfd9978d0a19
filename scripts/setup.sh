#!/usr/bin/env bash
# Installs everything kestro needs to build, test and benchmark, through apt.
# Safe to run again: packages already present are left as they are.
set -euo pipefail
# shellcheck source=lib/debian.sh
. "$(dirname "$0")/lib/debian.sh"

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive

packages=(
  g++ cmake make pkg-config
  python3 python3-dev python3-venv
  libxxhash-dev
  libgtest-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  python3-ujson python3-rapidjson python3-simplejson
  # The aarch64 cross build and the emulator its tests run under.
  g++-aarch64-linux-gnu binutils-aarch64-linux-gnu qemu-user-static
  # What the free-threaded CPython that scripts/env.sh builds needs (ssl,
  # zlib, ctypes, lzma, bz2; its other modules come with its source).
  libssl-dev zlib1g-dev libffi-dev liblzma-dev libbz2-dev xz-utils
)

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

need=$(missing "${packages[@]}" libyyjson-dev)
if [ -z "$need" ]; then
  echo "setup: every package is installed"
  exit 0
fi

$SUDO apt-get update -qq

# yyjson: use the release's own package when it has one; bookworm does not, so
# take it from trixie, pinned low so that nothing else is upgraded from there.
if [ -n "$(missing libyyjson-dev)" ] && ! apt-cache policy libyyjson-dev 2>/dev/null | grep -q 'Candidate: [0-9]'; then
  codename=$(debian_codename)
  if [ "$codename" = bookworm ]; then
    # The same archive the machine's own sources use for its release.
    uri=$(debian_archive_uri) || { echo "setup: the apt sources name no Debian archive for $codename" >&2; exit 1; }
    $SUDO tee /etc/apt/sources.list.d/kestro-trixie.sources >/dev/null <<SRC
Types: deb
URIs: $uri
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    $SUDO tee /etc/apt/preferences.d/kestro-trixie >/dev/null <<'PIN'
Package: *
Pin: release n=trixie
Pin-Priority: 50

Package: libyyjson*
Pin: release n=trixie
Pin-Priority: 500
PIN
    $SUDO apt-get update -qq
  fi
fi

# shellcheck disable=SC2046
$SUDO apt-get install -y -qq --no-install-recommends $(missing "${packages[@]}") $(missing libyyjson-dev)
echo "setup: done"
