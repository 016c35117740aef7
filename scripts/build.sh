#!/usr/bin/env bash
# Builds build/morvik-sandbox and build/morvik-sandbox-explain (installing
# missing Debian packages first).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target morvik-sandbox morvik-sandbox-explain >/dev/null
