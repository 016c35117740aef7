#!/usr/bin/env bash
# Builds and runs every test: the normal build (warnings as errors), the
# AddressSanitizer+UndefinedBehaviorSanitizer build, and a short run of each
# fuzz target. Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
jobs="$(nproc)"
fuzz_seconds="${MORVIK_FUZZ_SECONDS:-30}"

echo "== build (warnings as errors)"
cmake -S . -B build -DMORVIK_WERROR=ON -DMORVIK_REQUIRE_SECCOMP=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure

echo "== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVIK_SANITIZE=ON -DMORVIK_WERROR=ON \
  -DMORVIK_BUILD_BENCH=OFF -DMORVIK_REQUIRE_SECCOMP=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure

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
echo "stages: 3 passed, 0 failed"
