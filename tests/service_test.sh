#!/usr/bin/env bash
# The packaged unit under the machine's own systemd: the build's program run
# as the service, with every line of its sandbox, against the simulator; a
# route over HTTP reaches the switcher, the journal's lines carry no time of
# the program's own, and systemctl stop ends it with 0 and no lock file.
# Skipped (77) where systemd is not PID 1 or may not be used.
#   tests/service_test.sh MATRIX_PANEL MATRIX_SIM UNIT-FILE
set -u
skip() { echo "service_test: SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*"; journalctl -o cat -u "$name" --no-pager | tail -20; exit 1; }
[ "$(cat /proc/1/comm 2>/dev/null)" = systemd ] ||
  skip "systemd is not PID 1 here (PID 1 is $(cat /proc/1/comm 2>/dev/null || echo unknown))"
[ "$(id -u)" = 0 ] || skip "starting a system service needs root"
[ -z "${MATRIX_NO_SYSTEMD:-}" ] || skip "MATRIX_NO_SYSTEMD is set: the tests may not use systemd"
state=$(systemctl is-system-running 2>/dev/null)
[ "$state" = running ] || [ "$state" = degraded ] || skip "systemd is $state"
command -v curl >/dev/null || skip "no curl"

name=matrix-panel-test-$$
# In /run, which the service sees despite its private /tmp and hidden homes.
scratch=$(mktemp -d "/run/$name.XXXXXX")
unit=/run/systemd/system/$name.service
cleanup() {
  systemctl stop "$name" 2>/dev/null
  rm -f "$unit"
  systemctl daemon-reload
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
chmod 755 "$scratch"
cp "$1" "$(dirname "$1")/matrix-panel-headless" "$scratch/"

sleep 600 | "$2" --link "$scratch/switcher" --period 50 >/dev/null 2>"$scratch/sim.log" &
sim_pid=$!
for _ in $(seq 50); do [ -e "$scratch/switcher" ] && break; sleep 0.1; done
device=$(readlink -f "$scratch/switcher")
[ -c "$device" ] || fail "the simulator serves no line"
# The service's user is made up when it starts: it may use this line.
chmod a+rw "$device"
printf '# the rack\nports=1=%s\nlisten=127.0.0.1:0\n' "$device" >"$scratch/matrix-panel.conf"
chmod 644 "$scratch/matrix-panel.conf"

# The unit as packaged, but for the program, its settings and the simulator's
# line, which is a pseudo-terminal, not a serial port.
sed "s|^ExecStart=.*|ExecStart=$scratch/matrix-panel --headless --settings $scratch/matrix-panel.conf|" \
  "$3" >"$unit"
printf '[Service]\nDeviceAllow=char-pts rw\nEnvironment=QT_LOGGING_RULES=matrix.*=true\n' >>"$unit"
systemctl daemon-reload
systemctl start "$name" || fail "systemctl start"

url=
for _ in $(seq 100); do
  url=$(journalctl -o cat -u "$name" --no-pager | sed -n 's|.*remote control on \(http://[^ ]*/\).*|\1|p' | tail -1)
  [ -n "$url" ] && curl -fs "${url}api/v1/state" | grep -q '"state":"up"' && break
  sleep 0.1
done
curl -fs "${url}api/v1/state" | grep -q '"state":"up"' || fail "the link is not up"
curl -fs -X POST -H 'Content-Type: application/json' -d '{"input": 3, "output": "B"}' \
  "${url}api/v1/route" >/dev/null || fail "POST route"
for _ in $(seq 50); do grep -q 'rx command 6' "$scratch/sim.log" && break; sleep 0.1; done
grep -q 'rx command 6: input 3 -> output B' "$scratch/sim.log" || fail "the switcher heard no route"

systemctl stop "$name"
[ "$(systemctl show -p ExecMainStatus --value "$name")" = 0 ] || fail "the service did not end with 0"
lock=/run/lock/LCK..$(tr / _ <<<"${device#/dev/}")
[ ! -e "$lock" ] || fail "lock file left: $lock"
log=$(journalctl -o cat -u "$name" --no-pager)
grep -q '^matrix.link: link up' <<<"$log" || fail "no 'matrix.link: link up' line without a time"
echo "service_test: link up under systemd, route heard, stopped with 0, no lock file left"
