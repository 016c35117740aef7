#!/bin/sh
# Compiles landlock_header_check.cpp against the kernel's newest UAPI headers
# (fetched by scripts/kernel-headers.sh), once with the x86-64 and once with
# the arm64 asm/ headers. Skipped (status 77) when the headers were not
# fetched.
#   check.sh <C++ compiler> <source dir>
set -eu
cxx="$1"
src="$2"
include="$("$src/scripts/kernel-headers.sh" --cached)"
if [ -z "$include" ]; then
  echo "skipped: the kernel headers were not fetched (scripts/kernel-headers.sh)"
  exit 77
fi
echo "headers: $(cat "$include/../../.package")"
for arch in x86_64-linux-gnu aarch64-linux-gnu; do
  "$cxx" -std=c++23 -fsyntax-only -Wall -Wextra -Werror -isystem "$include" \
    -isystem "$include/$arch" -I "$src" "$src/tests/kernel_header/landlock_header_check.cpp"
  echo "$arch: every Landlock value and record layout matches <linux/landlock.h>"
done
