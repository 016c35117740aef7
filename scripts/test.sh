#!/usr/bin/env bash
# Builds and runs every test: the format check, the normal build (warnings
# as errors), the AddressSanitizer+UndefinedBehaviorSanitizer build, the
# aarch64 cross build's unit tests under user-mode emulation, the Debian
# package (dpkg-buildpackage, lintian), a short run of each fuzz target and
# the kernel matrix. Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
# The kernel's newest Landlock header for the kernel_header test (cached;
# MORVIK_SKIP_KERNEL_MATRIX=1 fetches nothing and that test is skipped).
scripts/kernel-headers.sh >/dev/null
jobs="$(nproc)"
fuzz_seconds="${MORVIK_FUZZ_SECONDS:-30}"

echo "== format (clang-format --dry-run on every tracked C and C++ file)"
git ls-files -z -- '*.c' '*.h' '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run -Werror

echo "== build (warnings as errors)"
cmake -S . -B build -DMORVIK_WERROR=ON -DMORVIK_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure

echo "== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVIK_SANITIZE=ON -DMORVIK_WERROR=ON \
  -DMORVIK_BUILD_TESTS=ON -DMORVIK_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure

# User-mode emulation has no Landlock (ENOSYS) and no seccomp, so only the
# unit tests run here (the fake kernel stands in for the real one).
# GoogleTest is built from Debian's sources with the cross compiler.
echo "== aarch64 cross build, unit tests under qemu-aarch64"
cmake -S . -B build-aarch64 --toolchain cmake/aarch64-linux-gnu.cmake -DMORVIK_WERROR=ON \
  -DMORVIK_BUILD_TESTS=ON -DMORVIK_BUILD_BENCH=OFF -DMORVIK_GTEST_SOURCE_DIR=/usr/src/googletest \
  >/dev/null
cmake --build build-aarch64 -j"$jobs" --target morvik-sandbox morvik-sandbox-explain unit_tests
ctest --test-dir build-aarch64 -L unit --output-on-failure

echo "== Debian package (dpkg-buildpackage, lintian)"
tests/package_test.sh

echo "== fuzz (clang, libFuzzer, ${fuzz_seconds}s per target)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVIK_SANITIZE=ON \
  -DMORVIK_BUILD_FUZZ=ON -DMORVIK_BUILD_TESTS=OFF -DMORVIK_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs"
for target in build-fuzz/fuzz/*_fuzz; do
  name="$(basename "$target")"
  work="$(mktemp -d)"
  seeds="fuzz/corpus/${name%_fuzz}"
  [[ -d "$seeds" ]] && cp -r "$seeds/." "$work/"
  "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$work" 2>&1 | tail -n 12
  rm -rf "$work"
done
echo "== kernel matrix"; scripts/kernel-matrix.sh build
echo "stages: 7 passed, 0 failed"
