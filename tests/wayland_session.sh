#!/usr/bin/env bash
# Runs a command as a client of a headless Wayland compositor (Weston), with
# Qt on its Wayland plugin; with --a11y also on a session bus of its own with
# the accessibility bus, for a screen reader's view of the panel. Exits 77
# (skipped) and says why where Weston, Qt's Wayland plugin or, with --a11y,
# D-Bus and pyatspi are missing.
#   tests/wayland_session.sh [--a11y] COMMAND [ARGS...]
set -u
skip() { echo "wayland_session: SKIPPED: $*"; exit 77; }
a11y=0
if [ "${1:-}" = --a11y ]; then a11y=1; shift; fi
command -v weston >/dev/null || skip "no weston (Debian package weston, which scripts/test.sh installs)"
qtplugins=$(ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so 2>/dev/null | head -n1)
[ -n "$qtplugins" ] || skip "no Qt Wayland plugin (Debian package qt6-wayland, which scripts/test.sh installs)"
if ((a11y)); then
  command -v dbus-run-session >/dev/null || skip "no dbus-run-session (Debian package dbus, which scripts/test.sh installs)"
  [ -x /usr/libexec/at-spi-bus-launcher ] || skip "no AT-SPI bus (Debian package at-spi2-core, which scripts/test.sh installs)"
  /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || skip "no pyatspi (Debian package python3-pyatspi, which scripts/test.sh installs)"
fi

runtime=$(mktemp -d)
chmod 700 "$runtime"
weston_pid=
cleanup() {
  [ -n "$weston_pid" ] && kill "$weston_pid" 2>/dev/null && wait "$weston_pid" 2>/dev/null
  rm -rf "$runtime"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=matrix-test QT_QPA_PLATFORM=wayland \
  MATRIX_TEST_PLATFORM=wayland
unset DISPLAY
weston --backend=headless-backend.so --socket="$WAYLAND_DISPLAY" --idle-time=0 \
  >"$runtime/weston.log" 2>&1 &
weston_pid=$!
for _ in $(seq 100); do
  [ -S "$runtime/$WAYLAND_DISPLAY" ] && break
  kill -0 "$weston_pid" 2>/dev/null || { cat "$runtime/weston.log"; skip "weston did not start"; }
  sleep 0.1
done
[ -S "$runtime/$WAYLAND_DISPLAY" ] || skip "weston made no socket in 10 s"
if ((a11y)); then
  QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 dbus-run-session -- "$@"
else
  "$@"
fi
