#!/bin/sh
# Boots the launcher on real Debian kernels under QEMU and runs the
# confinement suite of tests/matrix/ in each (see scripts/kernel-matrix.py).
#   scripts/kernel-matrix.sh BUILD_DIR
exec python3 "$(dirname "$0")/kernel-matrix.py" "$@"
