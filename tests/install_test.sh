#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the desktop program's
# files: both executables, the menu entry (valid) and the icons.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/matrix-panel bin/matrix-sim share/applications/matrix-panel.desktop \
         share/icons/hicolor/32x32/apps/matrix-panel.png share/icons/hicolor/64x64/apps/matrix-panel.png; do
  [ -e "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done
[ -x "$prefix/bin/matrix-panel" ] || { echo "matrix-panel is not executable"; exit 1; }
desktop-file-validate "$prefix/share/applications/matrix-panel.desktop"
echo "install tree complete"
