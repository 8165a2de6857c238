#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every
# test headless. No test touches a real serial port. Arguments go to ctest,
# e.g. scripts/test.sh -L unit.
set -euo pipefail
cd "$(dirname "$0")/.."
# The tests install nothing themselves: what they need comes here, before
# they run side by side. A test whose tools cannot be installed is skipped.
#   package_test: Debian's packaging tools and validators, and systemd to
#   check the service's unit
scripts/install-packages.sh desktop-file-utils dpkg-dev lintian appstream man-db file binutils systemd
#   discovery_test: a D-Bus and an Avahi daemon of its own
scripts/install-packages.sh dbus avahi-daemon avahi-utils ||
  echo "test.sh: the Avahi daemon could not be installed; the discovery test will be skipped" >&2
#   mqtt_broker_test: a broker of its own and the tools that make its
#   password file and certificates
scripts/install-packages.sh mosquitto mosquitto-clients openssl ||
  echo "test.sh: mosquitto could not be installed; the MQTT broker test will be skipped" >&2
#   browser_test: a real browser
scripts/install-packages.sh chromium chromium-driver python3-selenium ||
  echo "test.sh: no browser could be installed; the browser test will be skipped" >&2
#   wayland_test and atspi_test: a headless Wayland compositor, Qt's Wayland
#   plugin, and a session bus with the accessibility bus and pyatspi
scripts/install-packages.sh weston qt6-wayland dbus at-spi2-core python3-pyatspi ||
  echo "test.sh: Weston or AT-SPI could not be installed; their tests will be skipped" >&2
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
export MATRIX_PANEL_PORTS=
cd build
ctest --output-on-failure -j"$(nproc)" "$@"
