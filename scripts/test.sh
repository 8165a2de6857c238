#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every
# test headless. No test touches a real serial port.
set -euo pipefail
cd "$(dirname "$0")/.."
MATRIX_CMAKE_ARGS="-DMATRIX_WERROR=ON ${MATRIX_CMAKE_ARGS:-}" scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
export MATRIX_PANEL_PORTS=
cd build
ctest --output-on-failure -j"$(nproc)" "$@"
