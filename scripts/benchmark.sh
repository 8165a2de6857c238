#!/usr/bin/env bash
# Measures matrix-panel on this machine against an empty Qt widget window
# (bench/empty-window) and prints one table: CPU with the link up and while
# searching, start-up time, peak memory, frame-to-panel latency, command byte
# pacing, the panel's time up on a line with noise, route frame pacing beside
# two busy processes, the remote control and the Videohub server, and the
# micro-benchmarks. Targets are shown for reading
# only; the script fails only when a measurement could not be made.
#
# usage: scripts/benchmark.sh [BUILD_DIR]      (default: build-bench)
#        NOISE_SECONDS=S scripts/benchmark.sh   (each noise run S s, default 60)
# Without a BUILD_DIR it installs what is missing and makes a Release build
# with the benchmarks in build-bench.
set -u

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ $# -eq 0 ]]; then
    "$REPO/scripts/install-packages.sh" libbenchmark-dev || exit 2
    cmake -S "$REPO" -B "$REPO/build-bench" -DCMAKE_BUILD_TYPE=Release -DMATRIX_BENCHMARKS=ON \
        >/dev/null || exit 2
    cmake --build "$REPO/build-bench" -j"$(nproc)" >/dev/null || exit 2
fi
BUILD=${1:-build-bench}
if [[ ! -d $BUILD && -d $REPO/$BUILD ]]; then
    BUILD=$REPO/$BUILD
fi
BUILD=$(cd "$BUILD" 2>/dev/null && pwd) || {
    echo "benchmark.sh: no build directory '${1:-build-bench}'" >&2
    exit 2
}

PANEL=$BUILD/matrix-panel
SIM=$BUILD/matrix-sim
EMPTY=$BUILD/bench/empty-window
LINK_BENCH=$BUILD/bench/link-bench
RECEIVE_BENCH=$BUILD/bench/receive_bench
TICK_BENCH=$BUILD/bench/main_tick_bench
for bin in "$PANEL" "$SIM" "$EMPTY" "$LINK_BENCH"; do
    if [[ ! -x $bin ]]; then
        echo "benchmark.sh: $bin is missing; build with the benchmarks enabled" \
            "(libbenchmark-dev installed, MATRIX_BENCHMARKS=ON)" >&2
        exit 2
    fi
done

CPU_WARMUP_S=2
CPU_WINDOW_S=10
STARTUP_RUNS=5
HWM_SETTLE_S=1
CLK_TCK=$(getconf CLK_TCK)

TMP=$(mktemp -d "${TMPDIR:-/tmp}/matrix-bench.XXXXXX")
mkdir -m 700 "$TMP/xdg"
export XDG_RUNTIME_DIR=$TMP/xdg
export QT_QPA_PLATFORM=offscreen
unset QT_LOGGING_RULES

# Every process started here, so that an interrupted run leaves none behind.
CHILDREN=()

stop_pid() {
    local pid=$1 waited=0
    # A child that has ended is not waited for: when a signal cut a wait
    # short, bash may have collected it already and would then wait for ever.
    kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null
    while kill -0 "$pid" 2>/dev/null && ((waited < 20)); do
        sleep 0.1
        ((waited++))
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

cleanup() {
    trap - EXIT INT TERM
    exec 7>&- 8<&-
    local pid
    for pid in "${CHILDREN[@]}"; do
        stop_pid "$pid"
    done
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A sleep that a signal cuts short: bash runs traps only once the foreground
# command is done, and a plain sleep would hold up the clean-up.
pause_s() {
    sleep "$1" &
    local pid=$!
    CHILDREN+=("$pid")
    wait "$pid"
}

# utime + stime of the whole process, in clock ticks.
cpu_ticks() {
    local stat rest fields
    stat=$(<"/proc/$1/stat") 2>/dev/null || return 1
    rest=${stat##*) }
    read -ra fields <<<"$rest"
    echo $((fields[11] + fields[12]))
}

# Time on the CPU of all the process's threads, in nanoseconds: the same
# quantity at a finer grain than the clock ticks, for small percentages.
cpu_ns() {
    local total=0 file run _
    for file in /proc/"$1"/task/*/schedstat; do
        read -r run _ <"$file" 2>/dev/null || continue
        total=$((total + run))
    done
    echo "$total"
}

# Context switches of all the process's threads: at these loads nearly every
# one is a wake-up from the event loop's sleep.
switches() {
    awk '/ctxt_switches/ { n += $2 } END { print n + 0 }' /proc/"$1"/task/*/status 2>/dev/null
}

# Prints "<pct from stat> <pct from schedstat> <switches per s>" for the given
# processes, one line each, sampled together over the same window after the
# warm-up.
measure_cpu() {
    local pid t0 t1
    local -A ticks0 ns0 sw0
    pause_s "$CPU_WARMUP_S"
    t0=$EPOCHREALTIME
    for pid in "$@"; do
        ticks0[$pid]=$(cpu_ticks "$pid") || return 1
        ns0[$pid]=$(cpu_ns "$pid")
        sw0[$pid]=$(switches "$pid")
    done
    pause_s "$CPU_WINDOW_S"
    t1=$EPOCHREALTIME
    for pid in "$@"; do
        local ticks ns sw
        ticks=$(cpu_ticks "$pid") || return 1
        ns=$(cpu_ns "$pid")
        sw=$(switches "$pid")
        awk -v t0="${ticks0[$pid]}" -v t="$ticks" -v n0="${ns0[$pid]}" -v n="$ns" \
            -v s0="${sw0[$pid]}" -v s="$sw" -v w0="$t0" -v w1="$t1" -v hz="$CLK_TCK" \
            'BEGIN { w = w1 - w0; printf "%.2f %.3f %.0f\n", 100 * (t - t0) / hz / w, 100 * (n - n0) / 1e9 / w, (s - s0) / w }'
    done
}

start_sim() {
    local link=$1
    rm -f "$TMP/sim.in"
    mkfifo "$TMP/sim.in"
    "$SIM" --link "$link" --period 100 <"$TMP/sim.in" >"$TMP/sim.out" 2>"$TMP/sim.err" &
    SIM_PID=$!
    CHILDREN+=("$SIM_PID")
    # Held open so the simulator keeps running; closing it ends the simulator.
    exec 7>"$TMP/sim.in"
    local waited=0
    while [[ ! -s $TMP/sim.out ]] && ((waited < 50)); do
        sleep 0.1
        ((waited++))
    done
    if [[ ! -s $TMP/sim.out || ! -L $link ]]; then
        echo "benchmark.sh: matrix-sim did not start:" >&2
        cat "$TMP/sim.err" >&2
        return 1
    fi
}

# End of input ends the simulator; a "quit" line would kill this script with
# SIGPIPE should the simulator have gone already.
stop_sim() {
    exec 7>&-
    local waited=0
    while kill -0 "$SIM_PID" 2>/dev/null && ((waited < 20)); do
        sleep 0.1
        ((waited++))
    done
    stop_pid "$SIM_PID"
}

# One launch: prints "<ms to the status window> <VmHWM kB>", or "- -" when the
# line never came. The remaining arguments are NAME=VALUE settings, then the
# program.
startup_once() {
    local fifo=$TMP/startup.fifo pid line t0 t1="" hwm="-"
    local -a settings=()
    while [[ $1 == *=* ]]; do
        settings+=("$1")
        shift
    done
    rm -f "$fifo"
    mkfifo "$fifo"
    t0=$EPOCHREALTIME
    (
        export QT_LOGGING_RULES="matrix.startup=true" "${settings[@]}"
        exec "$@" >/dev/null
    ) 2>"$fifo" &
    pid=$!
    CHILDREN+=("$pid")
    exec 8<"$fifo"
    while IFS= read -r -t 10 line <&8; do
        if [[ $line == *"status window shown"* ]]; then
            t1=$EPOCHREALTIME
            break
        fi
    done
    if [[ -n $t1 ]]; then
        pause_s "$HWM_SETTLE_S"
        hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    fi
    stop_pid "$pid"
    exec 8<&-
    rm -f "$fifo"
    if [[ -n $t1 ]]; then
        awk -v a="$t0" -v b="$t1" -v h="${hwm:--}" 'BEGIN { printf "%.1f %s\n", 1000 * (b - a), h }'
    else
        echo "- -"
    fi
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b + 0 == 0) print "-"; else printf "%.2fx\n", a / b }'
}

# "ok" or "over" against a limit, for reading only.
verdict() {
    awk -v v="$1" -v limit="$2" 'BEGIN { if (v == "-") print "n/a"; else { sub(/x$/, "", v); print (v + 0 <= limit + 0) ? "ok" : "over" } }'
}

ROWS=()
row() {
    ROWS+=("$(printf '%-44s %12s %12s %8s %-12s %s' "$@")")
}

# Two rows, from stat and from schedstat, comparing the CPU of a process with
# a baseline's: cpu_rows NAME LIMIT NOTE PROCESS_STAT PROCESS_SCHED BASE_STAT BASE_SCHED
cpu_rows() {
    local name=$1 limit=$2 note=$3
    row "$name (stat)" "$4" "$6" "$(ratio "$4" "$6")" "<= ${limit}x" \
        "$(verdict "$(ratio "$4" "$6")" "$limit")${note:+; $note}"
    row "$name (schedstat)" "$5" "$7" "$(ratio "$5" "$7")" "<= ${limit}x" \
        "$(verdict "$(ratio "$5" "$7")" "$limit")"
}

STARTED=$EPOCHREALTIME
FAILED=0

# --- CPU with the link up -------------------------------------------------
echo "measuring CPU with the link up (${CPU_WARMUP_S} s warm-up + ${CPU_WINDOW_S} s)..." >&2
LINK=$TMP/switcher
panel_up=(- - -)
empty_up=(- - -)
link_note="link not up"
if start_sim "$LINK"; then
    (
        export MATRIX_PANEL_PORTS="1=$LINK" QT_LOGGING_RULES="matrix.receive.debug=true;matrix.search.debug=true"
        exec "$PANEL" >/dev/null
    ) 2>"$TMP/panel-up.err" &
    PANEL_PID=$!
    CHILDREN+=("$PANEL_PID")
    "$EMPTY" >/dev/null 2>"$TMP/empty-up.err" &
    EMPTY_PID=$!
    CHILDREN+=("$EMPTY_PID")
    # Not in a command substitution: that subshell would hold off the
    # clean-up on a signal until the whole window had passed.
    if measure_cpu "$PANEL_PID" "$EMPTY_PID" >"$TMP/cpu"; then
        read -ra panel_up <<<"$(sed -n 1p "$TMP/cpu")"
        read -ra empty_up <<<"$(sed -n 2p "$TMP/cpu")"
    else
        FAILED=1
    fi
    if grep -q "switcher model" "$TMP/panel-up.err"; then
        searches=$(grep -c "matrix.search: port [0-9]" "$TMP/panel-up.err")
        link_note="link up, $searches port search steps"
    fi
    stop_pid "$PANEL_PID"
    stop_pid "$EMPTY_PID"
    stop_sim
else
    FAILED=1
fi
cpu_rows cpu_link_up_pct_of_core 1.5 "$link_note" "${panel_up[0]}" "${panel_up[1]}" \
    "${empty_up[0]}" "${empty_up[1]}"
row "wakeups_link_up_per_s" "${panel_up[2]}" "${empty_up[2]}" \
    "$(ratio "${panel_up[2]}" "${empty_up[2]}")" "" "context switches of all threads"

# --- CPU while searching with no port at all ------------------------------
echo "measuring CPU while searching with no port (${CPU_WARMUP_S} s warm-up + ${CPU_WINDOW_S} s)..." >&2
search=(- - -)
(
    export MATRIX_PANEL_PORTS=
    exec "$PANEL" >/dev/null
) 2>"$TMP/panel-search.err" &
PANEL_PID=$!
CHILDREN+=("$PANEL_PID")
if measure_cpu "$PANEL_PID" >"$TMP/cpu"; then
    read -ra search <"$TMP/cpu"
else
    FAILED=1
fi
stop_pid "$PANEL_PID"
row "cpu_searching_pct_of_core (stat)" "${search[0]}" "" "" "< 2%" "$(verdict "${search[0]}" 1.999)"
row "cpu_searching_pct_of_core (schedstat)" "${search[1]}" "" "" "< 2%" "$(verdict "${search[1]}" 1.999)"
row "wakeups_searching_per_s" "${search[2]}" "" "" "" ""

# --- start-up time and peak memory ----------------------------------------
echo "measuring start-up and memory ($STARTUP_RUNS runs each, after one warm-up)..." >&2
: >"$TMP/startup-panel"
: >"$TMP/startup-empty"
startup_once MATRIX_PANEL_PORTS= "$PANEL" >/dev/null
startup_once "$EMPTY" >/dev/null
for ((run = 0; run < STARTUP_RUNS; run++)); do
    # Interleaved, so that whatever else the machine does falls on both.
    startup_once MATRIX_PANEL_PORTS= "$PANEL" >>"$TMP/startup-panel"
    startup_once "$EMPTY" >>"$TMP/startup-empty"
done
start_panel=$(grep -v '^-' "$TMP/startup-panel" | awk '{ print $1 }' | median)
start_empty=$(grep -v '^-' "$TMP/startup-empty" | awk '{ print $1 }' | median)
hwm_panel=$(grep -v '^-' "$TMP/startup-panel" | awk '{ print $2 }' | median)
hwm_empty=$(grep -v '^-' "$TMP/startup-empty" | awk '{ print $2 }' | median)
runs_panel=$(grep -vc '^-' "$TMP/startup-panel")
runs_empty=$(grep -vc '^-' "$TMP/startup-empty")
[[ $runs_panel == "$STARTUP_RUNS" && $runs_empty == "$STARTUP_RUNS" ]] || FAILED=1
row "startup_to_status_window_ms (median)" "$start_panel" "$start_empty" \
    "$(ratio "$start_panel" "$start_empty")" "<= 1.2x" \
    "$(verdict "$(ratio "$start_panel" "$start_empty")" 1.2); runs: panel$(awk '{ printf " %s", $1 }' \
        "$TMP/startup-panel"), baseline$(awk '{ printf " %s", $1 }' "$TMP/startup-empty")"
row "peak_memory_vmhwm_kib (median)" "$hwm_panel" "$hwm_empty" \
    "$(ratio "$hwm_panel" "$hwm_empty")" "<= 1.2x" \
    "$(verdict "$(ratio "$hwm_panel" "$hwm_empty")" 1.2)"

# --- headless: start-up to the link up, and resident memory ----------------
# The same program with --listen, headless and with its windows, each started
# against the simulator in turn: the time from the launch to the "link up"
# line, and VmRSS a second later.
linkup_once() {
    local fifo=$TMP/linkup.fifo pid line t0 t1="" rss="-"
    rm -f "$fifo"
    mkfifo "$fifo"
    t0=$EPOCHREALTIME
    (
        export QT_LOGGING_RULES="matrix.link=true" MATRIX_PANEL_PORTS="1=$TMP/switcher-linkup"
        exec "$PANEL" "$@" --listen 127.0.0.1:0 >/dev/null
    ) 2>"$fifo" &
    pid=$!
    CHILDREN+=("$pid")
    exec 8<"$fifo"
    while IFS= read -r -t 10 line <&8; do
        if [[ $line == *"link up"* ]]; then
            t1=$EPOCHREALTIME
            break
        fi
    done
    if [[ -n $t1 ]]; then
        pause_s "$HWM_SETTLE_S"
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    fi
    stop_pid "$pid"
    exec 8<&-
    rm -f "$fifo"
    if [[ -n $t1 ]]; then
        awk -v a="$t0" -v b="$t1" -v r="${rss:--}" 'BEGIN { printf "%.1f %s\n", 1000 * (b - a), r }'
    else
        echo "- -"
    fi
}
echo "measuring start-up to the link up, headless and windowed ($STARTUP_RUNS runs each)..." >&2
if start_sim "$TMP/switcher-linkup"; then
    : >"$TMP/linkup-headless"
    : >"$TMP/linkup-windowed"
    linkup_once --headless >/dev/null
    for ((run = 0; run < STARTUP_RUNS; run++)); do
        linkup_once --headless >>"$TMP/linkup-headless"
        linkup_once >>"$TMP/linkup-windowed"
    done
    stop_sim
    for mode in headless windowed; do
        grep -vq '^-' "$TMP/linkup-$mode" || FAILED=1
        printf -v "up_$mode" '%s' "$(grep -v '^-' "$TMP/linkup-$mode" | awk '{ print $1 }' | median)"
        printf -v "rss_$mode" '%s' "$(grep -v '^-' "$TMP/linkup-$mode" | awk '{ print $2 }' | median)"
    done
    row "startup_to_link_up_ms headless (median)" "$up_headless" "$up_windowed" \
        "$(ratio "$up_headless" "$up_windowed")" "" "baseline: the same with its windows"
    row "resident_memory_kib headless (median)" "$rss_headless" "$rss_windowed" \
        "$(ratio "$rss_headless" "$rss_windowed")" "" "VmRSS 1 s after the link is up"
else
    FAILED=1
fi

# --- latency and command pacing over a pseudo-terminal --------------------
echo "measuring frame latency and command pacing (link-bench, about 40 s)..." >&2
timeout --kill-after=5 120 "$LINK_BENCH" >"$TMP/link-bench.out" 2>"$TMP/link-bench.err" &
LINK_PID=$!
CHILDREN+=("$LINK_PID")
wait "$LINK_PID"
link_rc=$?
gaps=$(grep '^command_byte_gap_ms' "$TMP/link-bench.out")
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }
latency_rows() {
    local name=$1 line
    line=$(grep "^$name " "$TMP/link-bench.out")
    if [[ -z $line ]]; then
        FAILED=1
        row "$name" "-" "" "" "<= 11" "link-bench failed (exit $link_rc)"
        return
    fi
    row "$name p50" "$(field p50 "$line")" "" "" "" ""
    row "$name p99" "$(field p99 "$line")" "" "" "<= 11" \
        "$(verdict "$(field p99 "$line")" 11); n=$(field n "$line") lost=$(field lost "$line") slow_writes=$(field slow_writes "$line")"
    row "$name max" "$(field max "$line")" "" "" "" ""
}
latency_rows latency_frame_to_panel_ms
latency_rows latency_frame_to_panel_9600_baud_ms
if [[ -n $gaps ]]; then
    row "command_byte_gap_ms p50" "$(field p50 "$gaps")" "" "" "50" ""
    row "command_byte_gap_ms p99" "$(field p99 "$gaps")" "" "" "50" \
        "n=$(field n "$gaps") frames=$(field frames "$gaps")"
    row "command_byte_gap_ms max" "$(field max "$gaps")" "" "" "50" ""
    row "command_byte_gap_ms min" "$(field min "$gaps")" "" "" "50" ""
else
    FAILED=1
fi
((link_rc == 0)) || FAILED=1

# --- a line with noise, and route frames beside busy processes ------------
# line-bench plays the switcher on a pseudo-terminal: status frames at 9600
# baud with one stray byte in every gap, or random noise at 10, 50 and 100
# bytes a second, each for NOISE_SECONDS (60) from the panel's coming up and
# for nine more fresh starts; then 100 route frames while two busy processes
# keep both cores of a 2-core machine loaded.
LINE_BENCH=$BUILD/bench/line-bench
NOISE_SECONDS=${NOISE_SECONDS:-60}
at_least() {
    awk -v v="$1" -v limit="$2" 'BEGIN { if (v == "") print "n/a"; else print (v + 0 >= limit + 0) ? "ok" : "under" }'
}
if [[ -x $LINE_BENCH ]]; then
    for noise in stray 10 50 100; do
        echo "measuring the panel on a line with noise $noise (${NOISE_SECONDS} s and 9 starts)..." >&2
        noise_args=(--noise "$noise")
        [[ $noise == stray ]] && noise_args=(--stray)
        timeout --kill-after=5 $((NOISE_SECONDS + 150)) "$LINE_BENCH" uptime "${noise_args[@]}" \
            --seconds "$NOISE_SECONDS" >"$TMP/line-bench.out" 2>>"$TMP/line-bench.err" &
        LINE_PID=$!
        CHILDREN+=("$LINE_PID")
        wait "$LINE_PID"
        up=$(grep '^uptime ' "$TMP/line-bench.out")
        if [[ -z $up ]]; then
            FAILED=1
            row "line_up_pct noise=$noise" "-" "" "" ">= 99" "line-bench failed"
            continue
        fi
        row "line_up_pct noise=$noise" "$(field up_pct "$up")" "" "" ">= 99" \
            "$(at_least "$(field up_pct "$up")" 99); losses=$(field losses "$up")," \
            "frames taken/unbroken/sent $(field frames_taken "$up")/$(field frames_intact "$up")/$(field frames_sent "$up")"
        row "line_detect_ms noise=$noise p50" "$(field detect_ms_p50 "$up")" "" "" "" ""
        row "line_detect_ms noise=$noise max" "$(field detect_ms_max "$up")" "" "" "<= 1000" \
            "$(verdict "$(field detect_ms_max "$up")" 1000); $(field starts "$up") starts"
    done

    echo "measuring route frame pacing beside two busy processes (about 25 s)..." >&2
    BUSY=()
    for _ in 1 2; do
        yes >/dev/null &
        BUSY+=($!)
        CHILDREN+=($!)
    done
    timeout --kill-after=5 120 "$LINE_BENCH" pacing --frames 100 >"$TMP/line-bench.out" \
        2>>"$TMP/line-bench.err" &
    LINE_PID=$!
    CHILDREN+=("$LINE_PID")
    wait "$LINE_PID"
    pacing_rc=$?
    busy_load=$(cut -d' ' -f1 /proc/loadavg)
    for pid in "${BUSY[@]}"; do
        stop_pid "$pid"
    done
    for side in line written; do
        gaps=$(grep "^pacing_${side}_gap_ms" "$TMP/line-bench.out")
        if [[ -z $gaps ]]; then
            FAILED=1
            row "pacing_${side}_gap_ms" "-" "" "" "" "line-bench failed (exit $pacing_rc)"
            continue
        fi
        note="as they came off the line, reader $(field reader "$gaps")"
        [[ $side == written ]] && note="as the program handed them to the port"
        row "pacing_${side}_gap_ms busy min" "$(field min "$gaps")" "" "" ">= 49" \
            "$(at_least "$(field min "$gaps")" 49); $note"
        row "pacing_${side}_gap_ms busy p50" "$(field p50 "$gaps")" "" "" "" \
            "n=$(field n "$gaps") frames=$(field frames "$gaps"), load $busy_load"
        row "pacing_${side}_gap_ms busy p99" "$(field p99 "$gaps")" "" "" "<= 55" \
            "$(verdict "$(field p99 "$gaps")" 55)"
        row "pacing_${side}_gap_ms busy max" "$(field max "$gaps")" "" "" "" ""
    done
    # Where the long and short gaps come from.
    for part in timer_late:"pacing timer waking late" write:"a write returning" \
        delivery:"the pseudo-terminal handing a byte over"; do
        line=$(grep "^pacing_${part%%:*}_ms" "$TMP/line-bench.out")
        [[ -n $line ]] && row "pacing_${part%%:*}_ms busy p99 / max" \
            "$(field p99 "$line") / $(field max "$line")" "" "" "" "${part#*:}"
    done
    ((pacing_rc == 0)) || FAILED=1
fi

# --- remote control: CPU with --listen and no client, frame to WebSocket --
# Two simulators and two panels side by side over the same window, one panel
# with --listen and no client, so that whatever else the machine does falls
# on both. Then the latency from a status frame carrying a change to the
# message a WebSocket client receives (bench/remote-latency).
REMOTE_LATENCY=$BUILD/bench/remote-latency
if [[ -x $REMOTE_LATENCY ]]; then
    echo "measuring CPU with --listen and no client against without" \
        "(${CPU_WARMUP_S} s warm-up + ${CPU_WINDOW_S} s)..." >&2
    listen_cpu=(- - -)
    plain_cpu=(- - -)
    remote_sims=()
    for name in plain listen; do
        mkfifo "$TMP/sim-$name.in"
        "$SIM" --link "$TMP/switcher-$name" --period 100 <"$TMP/sim-$name.in" \
            >"$TMP/sim-$name.out" 2>"$TMP/sim-$name.err" &
        remote_sims+=($!)
        CHILDREN+=($!)
    done
    # Held open so the simulators keep running; closing them ends them.
    exec 5>"$TMP/sim-plain.in" 6>"$TMP/sim-listen.in"
    for ((waited = 0; waited < 50; waited++)); do
        [[ -L $TMP/switcher-plain && -L $TMP/switcher-listen ]] && break
        sleep 0.1
    done
    (
        export MATRIX_PANEL_PORTS="1=$TMP/switcher-plain"
        exec "$PANEL" >/dev/null
    ) 2>"$TMP/panel-plain.err" &
    PLAIN_PID=$!
    (
        export MATRIX_PANEL_PORTS="1=$TMP/switcher-listen"
        exec "$PANEL" --listen 127.0.0.1:0 >/dev/null
    ) 2>"$TMP/panel-listen.err" &
    LISTEN_PID=$!
    CHILDREN+=("$PLAIN_PID" "$LISTEN_PID")
    if measure_cpu "$LISTEN_PID" "$PLAIN_PID" >"$TMP/cpu"; then
        read -ra listen_cpu <<<"$(sed -n 1p "$TMP/cpu")"
        read -ra plain_cpu <<<"$(sed -n 2p "$TMP/cpu")"
    else
        FAILED=1
    fi
    listening=$(grep -c "remote control on" "$TMP/panel-listen.err")
    stop_pid "$LISTEN_PID"
    stop_pid "$PLAIN_PID"
    exec 5>&- 6>&-
    for pid in "${remote_sims[@]}"; do
        stop_pid "$pid"
    done
    cpu_rows cpu_listen_no_client_pct_of_core 1.10 \
        "baseline: the same program without --listen, link up, listening: $listening" \
        "${listen_cpu[0]}" "${listen_cpu[1]}" "${plain_cpu[0]}" "${plain_cpu[1]}"

    echo "measuring frame-to-WebSocket latency (remote-latency, about 15 s)..." >&2
    timeout --kill-after=5 120 "$REMOTE_LATENCY" "$PANEL" 300 >"$TMP/remote-latency.out" \
        2>"$TMP/remote-latency.err" &
    REMOTE_PID=$!
    CHILDREN+=("$REMOTE_PID")
    wait "$REMOTE_PID"
    remote_rc=$?
    line=$(grep '^latency_frame_to_websocket_ms ' "$TMP/remote-latency.out")
    if [[ -n $line ]]; then
        row "latency_frame_to_websocket_ms p50" "$(field p50 "$line")" "" "" "" ""
        row "latency_frame_to_websocket_ms p99" "$(field p99 "$line")" "" "" "<= 15" \
            "$(verdict "$(field p99 "$line")" 15); n=$(field n "$line") lost=$(field lost "$line")"
        row "latency_frame_to_websocket_ms max" "$(field max "$line")" "" "" "" ""
    else
        row "latency_frame_to_websocket_ms" "-" "" "" "<= 15" "remote-latency failed (exit $remote_rc)"
    fi
    ((remote_rc == 0)) || FAILED=1
fi

# --- remote control under load -------------------------------------------
# Loopback only, and bounded: 16 slow clients and a ping flood against
# --listen while a client with the token routes 20 times (bench/remote-load).
REMOTE_LOAD=$BUILD/bench/remote-load
if [[ -x $REMOTE_LOAD ]]; then
    echo "measuring routes under slow clients and a ping flood (remote-load, about 10 s)..." >&2
    timeout --kill-after=5 120 "$REMOTE_LOAD" "$PANEL" >"$TMP/remote-load.out" \
        2>"$TMP/remote-load.err" &
    LOAD_PID=$!
    CHILDREN+=("$LOAD_PID")
    wait "$LOAD_PID"
    load_rc=$?
    line=$(grep '^remote_load ' "$TMP/remote-load.out")
    if [[ -n $line ]]; then
        row "remote_load routes answered / on the line" \
            "$(field answered "$line")/$(field on_line "$line")" "" "" "20/20" \
            "answer p50 $(field answer_ms_p50 "$line") ms, max $(field answer_ms_max "$line") ms"
        row "remote_load gap_ms min / p50 / max" \
            "$(field gap_ms_min "$line")/$(field gap_ms_p50 "$line")/$(field gap_ms_max "$line")" \
            "" "" "50" ""
        row "remote_load rss_kib before / peak / after" \
            "$(field rss_before_kib "$line")/$(field hwm_kib "$line")/$(field rss_after_kib "$line")" \
            "" "" "bounded" "slow clients closed $(field slow_closed "$line"), floods cut $(field floods_cut "$line")"
    else
        row "remote_load" "-" "" "" "20/20" "remote-load failed (exit $load_rc)"
    fi
    ((load_rc == 0)) || FAILED=1
fi

# --- Videohub server: CPU with 16 idle clients, frame to block, route ----
# As for --listen: two simulators and two panels side by side, one serving
# --videohub with 16 clients connected that say nothing (as control software
# does between its pings). Then bench/videohub-latency: a status frame
# carrying a change to the VIDEO OUTPUT ROUTING: block at a client, and a
# route block to the first command byte on the line while it is idle.
VIDEOHUB_LATENCY=$BUILD/bench/videohub-latency
if [[ -x $VIDEOHUB_LATENCY ]]; then
    echo "measuring CPU with --videohub and 16 idle clients against without" \
        "(${CPU_WARMUP_S} s warm-up + ${CPU_WINDOW_S} s)..." >&2
    hub_cpu=(- - -)
    plain_cpu=(- - -)
    hub_sims=()
    for name in plain hub; do
        mkfifo "$TMP/sim-v$name.in"
        "$SIM" --link "$TMP/switcher-v$name" --period 100 <"$TMP/sim-v$name.in" \
            >"$TMP/sim-v$name.out" 2>"$TMP/sim-v$name.err" &
        hub_sims+=($!)
        CHILDREN+=($!)
    done
    exec 5>"$TMP/sim-vplain.in" 6>"$TMP/sim-vhub.in"
    for ((waited = 0; waited < 50; waited++)); do
        [[ -L $TMP/switcher-vplain && -L $TMP/switcher-vhub ]] && break
        sleep 0.1
    done
    (
        export MATRIX_PANEL_PORTS="1=$TMP/switcher-vplain"
        exec "$PANEL" >/dev/null
    ) 2>"$TMP/panel-vplain.err" &
    PLAIN_PID=$!
    (
        export MATRIX_PANEL_PORTS="1=$TMP/switcher-vhub"
        exec "$PANEL" --videohub 127.0.0.1:0 >/dev/null
    ) 2>"$TMP/panel-vhub.err" &
    HUB_PID=$!
    CHILDREN+=("$PLAIN_PID" "$HUB_PID")
    hub_port=""
    for ((waited = 0; waited < 50; waited++)); do
        hub_port=$(sed -n 's/.*Videohub server on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$TMP/panel-vhub.err")
        [[ -n $hub_port ]] && break
        sleep 0.1
    done
    hub_fds=()
    if [[ -n $hub_port ]]; then
        for ((i = 0; i < 16; i++)); do
            exec {fd}<>"/dev/tcp/127.0.0.1/$hub_port" && hub_fds+=("$fd")
        done
    fi
    if measure_cpu "$HUB_PID" "$PLAIN_PID" >"$TMP/cpu"; then
        read -ra hub_cpu <<<"$(sed -n 1p "$TMP/cpu")"
        read -ra plain_cpu <<<"$(sed -n 2p "$TMP/cpu")"
    else
        FAILED=1
    fi
    for fd in "${hub_fds[@]}"; do
        exec {fd}<&-
    done
    stop_pid "$HUB_PID"
    stop_pid "$PLAIN_PID"
    exec 5>&- 6>&-
    for pid in "${hub_sims[@]}"; do
        stop_pid "$pid"
    done
    cpu_rows cpu_videohub_16_idle_clients_pct_of_core 1.10 \
        "baseline: the same program without --videohub, link up; clients: ${#hub_fds[@]}" \
        "${hub_cpu[0]}" "${hub_cpu[1]}" "${plain_cpu[0]}" "${plain_cpu[1]}"

    echo "measuring frame-to-block and route-to-line latency (videohub-latency, about 20 s)..." >&2
    timeout --kill-after=5 120 "$VIDEOHUB_LATENCY" "$PANEL" 300 >"$TMP/videohub-latency.out" \
        2>"$TMP/videohub-latency.err" &
    HUB_LAT_PID=$!
    CHILDREN+=("$HUB_LAT_PID")
    wait "$HUB_LAT_PID"
    hub_rc=$?
    for name in latency_frame_to_videohub_ms latency_route_to_line_ms; do
        line=$(grep "^$name " "$TMP/videohub-latency.out")
        if [[ -n $line ]]; then
            row "$name p50" "$(field p50 "$line")" "" "" "" ""
            row "$name p99" "$(field p99 "$line")" "" "" "<= 15" \
                "$(verdict "$(field p99 "$line")" 15); n=$(field n "$line") lost=$(field lost "$line")"
            row "$name max" "$(field max "$line")" "" "" "" ""
        else
            row "$name" "-" "" "" "<= 15" "videohub-latency failed (exit $hub_rc)"
        fi
    done
    ((hub_rc == 0)) || FAILED=1
fi

# --- micro-benchmarks -----------------------------------------------------
for bench in "$RECEIVE_BENCH" "$TICK_BENCH"; do
    [[ -x $bench ]] || continue
    echo "running $(basename "$bench")..." >&2
    if timeout --kill-after=5 60 "$bench" --benchmark_min_time=0.2 --benchmark_format=csv \
        >"$TMP/gbench.csv" 2>"$TMP/gbench.err"; then
        # name,iterations,real_time,cpu_time,time_unit,...
        while IFS=, read -r name _ real cpu unit _; do
            name=${name//\"/}
            [[ $name == BM_* ]] || continue
            row "$name" "$(printf '%.0f %s' "$real" "$unit")" "" "" "" \
                "per iteration, wall ($(printf '%.0f %s' "$cpu" "$unit") cpu)"
        done <"$TMP/gbench.csv"
    else
        FAILED=1
        row "$(basename "$bench")" "-" "" "" "" "failed"
    fi
done

# --- the table ------------------------------------------------------------
elapsed=$(awk -v a="$STARTED" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')
echo
echo "matrix-panel benchmark: $(nproc) cores, $(date '+%Y-%m-%d %H:%M'), build $BUILD," \
    "load $(cut -d' ' -f1-3 /proc/loadavg), ${elapsed} s"
printf '%-44s %12s %12s %8s %-12s %s\n' "measure" "panel" "baseline" "ratio" "target" "note"
printf '%-44s %12s %12s %8s %-12s %s\n' "-------" "-----" "--------" "-----" "------" "----"
printf '%s\n' "${ROWS[@]}"
echo "baseline = bench/empty-window (empty QWidget, 10 ms precise timer); CPU in % of one core"
exit "$FAILED"
