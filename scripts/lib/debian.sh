# Sourced by the scripts that need Debian's archive: where the machine itself
# takes its packages from, so that no address is written into the tree.

# The machine's release codename (bookworm, trixie, ...).
debian_codename() {
  (. /etc/os-release && echo "${VERSION_CODENAME:-}")
}

# The first archive address the machine's own apt sources use for its release
# (deb822 files in sources.list.d, then one-line entries); fails when none does.
debian_archive_uri() {
  local codename files=()
  codename=$(debian_codename)
  [ -n "$codename" ] || return 1
  shopt -s nullglob
  files=(/etc/apt/sources.list.d/*.sources)
  shopt -u nullglob
  local uri=""
  if [ ${#files[@]} -gt 0 ]; then
    uri=$(awk -v want="$codename" '
      function flush() {
        if (!found && enabled && (" " types " ") ~ / deb / && (" " suites " ") ~ (" " want " ") && uris != "") {
          split(uris, u, " "); print u[1]; found = 1
        }
        types = suites = uris = ""; enabled = 1
      }
      BEGIN { enabled = 1 }
      FNR == 1 { flush() }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { key = tolower($1); $1 = "" }
      key == "types:" { types = $0 }
      key == "uris:" { uris = $0 }
      key == "suites:" { suites = $0 }
      key == "enabled:" && tolower($2) == "no" { enabled = 0 }
      END { flush() }' "${files[@]}")
  fi
  if [ -z "$uri" ]; then
    files=()
    [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
    shopt -s nullglob
    files+=(/etc/apt/sources.list.d/*.list)
    shopt -u nullglob
    [ ${#files[@]} -gt 0 ] && uri=$(awk -v want="$codename" '
      $1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == want) { print $i; exit }
      }' "${files[@]}")
  fi
  [ -n "$uri" ] || return 1
  echo "${uri%/}"
}

# The keyring that signs Debian's archive, when the machine has it.
debian_keyring() {
  local k=/usr/share/keyrings/debian-archive-keyring.gpg
  [ -f "$k" ] && echo "$k"
}
