#!/usr/bin/env bash
# Fetches Debian sid's linux-libc-dev (the kernel's newest UAPI headers) and
# unpacks it; prints the unpacked include directory on standard output.
#
# The package is fetched with a private apt configuration (its own sources
# list, lists, cache and status) under
# ${MORVIK_MATRIX_CACHE:-/var/cache/morvik-matrix}/headers; the archive's
# address is read from this machine's apt sources at run time. The machine's
# own apt and dpkg configuration is never changed. The unpacked tree is kept
# and reused by later runs; remove the directory to fetch again.
#
#   scripts/kernel-headers.sh            fetch when needed, print the directory
#   scripts/kernel-headers.sh --cached   never fetch; print it only if present
#
# MORVIK_SKIP_KERNEL_MATRIX=1 (a machine without the archive): nothing is
# fetched and nothing is printed.
set -euo pipefail

cache="${MORVIK_MATRIX_CACHE:-/var/cache/morvik-matrix}/headers"
root="$cache/root"
include="$root/usr/include"

if [[ -f "$root/.package" && -f "$include/linux/landlock.h" ]]; then
  echo "$include"
  exit 0
fi
if [[ "${1:-}" == "--cached" ]]; then
  exit 0
fi
if [[ "${MORVIK_SKIP_KERNEL_MATRIX:-}" == "1" ]]; then
  echo "kernel headers: not fetched (MORVIK_SKIP_KERNEL_MATRIX=1)" >&2
  exit 0
fi

fail() {
  echo "kernel headers: $*" >&2
  exit 1
}

# The URI of the machine's source for its own release (one-line and deb822
# formats).
archive_uri() {
  local codename
  # shellcheck source=/dev/null
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  [[ -n "$codename" ]] || return 1
  local files=()
  [[ -f /etc/apt/sources.list ]] && files+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -f "$f" ]] && files+=("$f")
  done
  ((${#files[@]})) || return 1
  awk -v want="$codename" '
    function flush() {
      if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " want " ") && uri != "" && !found) {
        print uri; found = 1
      }
      types = ""; suites = ""; uri = ""
    }
    FNR == 1 { flush() }
    /^[[:space:]]*#/ { next }
    /^deb[[:space:]]/ {
      i = 2
      if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
      if ($(i + 1) == want && !found) { print $i; found = 1 }
      next
    }
    /^[[:space:]]*$/ { flush(); next }
    /^Types:/ { sub(/^Types:[[:space:]]*/, ""); types = $0; next }
    /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0; next }
    /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); split($0, u, /[[:space:]]+/); uri = u[1]; next }
    END { flush() }
  ' "${files[@]}"
}

uri="$(archive_uri)" || true
[[ -n "$uri" ]] || fail "no Debian archive found in this machine's apt sources"

apt="$cache/apt"
mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$apt/parts" "$apt/prefs"
: >"$apt/status"
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri sid main" \
  >"$apt/sources.list"
opts=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/parts"
      -o Dir::Etc::PreferencesParts="$apt/prefs" -o Dir::Etc::Preferences="$apt/prefs/none"
      -o Dir::State="$apt" -o Dir::State::Lists="$apt/lists" -o Dir::State::status="$apt/status"
      -o Dir::Cache="$apt" -o Dir::Cache::Archives="$apt/archives"
      -o Dir::Cache::pkgcache="" -o Dir::Cache::srcpkgcache=""
      -o APT::Architecture=amd64 -o APT::Architectures=amd64 -o Debug::NoLocking=1
      -o APT::Sandbox::User=root)

apt-get "${opts[@]}" -qq update >&2 || fail "apt-get update of sid failed ($uri)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get "${opts[@]}" -qq download linux-libc-dev >&2) ||
  fail "downloading sid's linux-libc-dev failed"
deb="$(ls "$work"/linux-libc-dev_*.deb)"
rm -rf "$root"
dpkg-deb -x "$deb" "$root"
[[ -f "$include/linux/landlock.h" ]] || fail "$(basename "$deb") holds no linux/landlock.h"
basename "$deb" >"$root/.package"
echo "kernel headers: $(basename "$deb")" >&2
echo "$include"
