#!/usr/bin/env bash
# Renders the README's screenshots from the program itself, offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."
MATRIX_CMAKE_ARGS="-DMATRIX_TOOLS=ON" scripts/setup.sh matrix-screenshots >/dev/null
QT_QPA_PLATFORM=offscreen build/matrix-screenshots docs/screenshots
