#!/usr/bin/env bash
# Draws every picture in assets/ afresh with build/make-art (assets/make_art.cpp):
# the button faces at their size and at twice it, the window icon, and the
# desktop's icons with their SVG. Commit what changes: the assets test fails
# while the pictures and the drawing disagree.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh make-art >/dev/null
QT_QPA_PLATFORM=offscreen build/make-art assets
