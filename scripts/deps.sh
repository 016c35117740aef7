#!/usr/bin/env bash
# Installs the Debian packages that building (and, with "test", testing)
# needs, only when some are missing.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libgmock-dev)
if [[ "${1:-}" == "test" ]]; then
  packages+=(clang libclang-rt-14-dev libbenchmark-dev python3 python3-jsonschema
             gcovr man-db groff-base dpkg-dev file valgrind debian-archive-keyring clang-format git
             lintian debhelper g++-aarch64-linux-gnu qemu-user googletest
             qemu-system-x86 qemu-system-arm cpio busybox-static gcc-aarch64-linux-gnu)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
