#!/usr/bin/env bash
# Installs what is missing, builds, and starts the panel.
#
#   scripts/run.sh          the panel on the machine's serial ports
#   scripts/run.sh --sim    the panel against a simulated switcher; this
#                           terminal then talks to the simulator (type "help")
#
# Any further arguments go to the simulator, e.g. --sim --model 4x2.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --programs

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found (DISPLAY is not set): the windows will not be seen." >&2
  echo "Run this from a desktop session, or set QT_QPA_PLATFORM=offscreen to run headless." >&2
  export QT_QPA_PLATFORM=offscreen
fi

if [ "${1:-}" != "--sim" ]; then
  exec build/matrix-panel
fi
shift

workdir=$(mktemp -d)
link="$workdir/switcher"
export MATRIX_PANEL_PORTS="1=$link"
echo "Simulated switcher on port 1 ($link). Type 'help' for its commands," >&2
echo "'power off' for standby, 'pause' to lose the link, 'quit' to stop." >&2

# The simulator reads this terminal; whichever of the two ends first ends the other.
exec 3<&0
build/matrix-sim --link "$link" "$@" <&3 >/dev/null &
sim=$!
trap 'kill $sim ${panel:-} 2>/dev/null; rm -rf "$workdir"' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
build/matrix-panel &
panel=$!
wait -n $sim $panel || true
