#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every
# test headless. No test touches a real serial port. Arguments go to ctest,
# e.g. scripts/test.sh -L unit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh desktop-file-utils dpkg-dev lintian appstream man-db file
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
export MATRIX_PANEL_PORTS=
cd build
ctest --output-on-failure -j"$(nproc)" "$@"
