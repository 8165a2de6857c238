#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every
# test headless. No test touches a real serial port. Arguments go to ctest,
# e.g. scripts/test.sh -L unit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh desktop-file-utils dpkg-dev lintian appstream man-db file
# The announcement test runs a D-Bus and an Avahi daemon of its own.
scripts/install-packages.sh dbus avahi-daemon avahi-utils
# The browser test needs these; where they cannot be installed it is skipped.
# Installed here, before the tests run side by side, so that no two of them
# wait on apt at once.
scripts/install-packages.sh chromium chromium-driver python3-selenium ||
  echo "test.sh: no browser could be installed; the browser test will be skipped" >&2
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
export MATRIX_PANEL_PORTS=
cd build
ctest --output-on-failure -j"$(nproc)" "$@"
