#!/usr/bin/env bash
# Fuzzes with libFuzzer, with every invariant checked after every step:
#   program   (default) arbitrary bytes as programs of steps on the rig
#             (fuzz/rig.h): bytes through the fake port into the whole
#             program, ticks, port failures, clicks; seeded from fuzz/corpus
#   receiver  the receiver and its model detection alone on the fake port
#             (fuzz/receiver_fuzzer.cpp), over a hundred times faster
#   videohub  what router-protocol clients send, in chunks, through the block
#             reader and the request parser (fuzz/videohub_fuzzer.cpp);
#             seeded from fuzz/corpus-videohub
#   http      the HTTP API's request bodies for the route, names and command
#             endpoints (fuzz/http_fuzzer.cpp); seeded from fuzz/corpus-http
# Builds build-fuzz with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# fuzzes for SECONDS (or until RUNS inputs have run, whichever comes first),
# keeping what it finds in build-fuzz/corpus-TARGET, then replays everything
# found with leak detection on. Prints the executions, their rate, the
# coverage and the wall time; fails on a crash, whose input is left in
# build-fuzz/artifacts/.
#
# usage: scripts/fuzz.sh [--target program|receiver|videohub|http] [--runs RUNS] [SECONDS]
#        (default: program, 60 s; with --runs and no SECONDS, no time limit)
set -euo pipefail
cd "$(dirname "$0")/.."
target=program
runs=-1
seconds=
while (($# > 0)); do
    case $1 in
    --target) target=${2:?--target needs program, receiver, videohub or http}; shift 2 ;;
    --runs) runs=${2:?--runs needs a count}; shift 2 ;;
    -h | --help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) seconds=$1; shift ;;
    esac
done
case $target in
program) seeds=(fuzz/corpus) ;;
receiver) seeds=() ;;
videohub | http) seeds=("fuzz/corpus-$target") ;;
*) echo "fuzz.sh: unknown target '$target' (program, receiver, videohub or http)" >&2; exit 2 ;;
esac
if [[ -z $seconds ]]; then
    ((runs > 0)) && seconds=0 || seconds=60
fi

packages=(cmake make clang libclang-rt-14-dev qt6-base-dev qt6-serialport-dev qt6-qpa-plugins
    libgl-dev)
scripts/install-packages.sh "${packages[@]}"

build="build-fuzz"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMATRIX_FUZZ=ON -DMATRIX_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target "matrix-$target-fuzzer"

corpus=$build/corpus
[[ $target == program ]] || corpus=$build/corpus-$target
mkdir -p "$corpus" "$build/artifacts"
export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# A small quarantine and short allocation stacks keep the fuzzer's memory flat
# and double its speed; rerun an artifact with ASAN_OPTIONS= for full reports.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=2}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0}
fuzzer=$build/matrix-$target-fuzzer
log=$build/fuzz-$target.log

# Leak checks after every input that allocated more than it freed cost more
# than the rest of the run: they are left to the replay below.
status=0
started=$EPOCHREALTIME
"$fuzzer" -max_total_time="$seconds" -runs="$runs" -print_final_stats=1 -detect_leaks=0 \
    -timeout=20 -artifact_prefix="$build/artifacts/" "$corpus" "${seeds[@]}" >"$log" 2>&1 ||
    status=$?
wall=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }')

replay_status=0
if ((status == 0)); then
    "$fuzzer" -runs=0 -detect_leaks=1 -artifact_prefix="$build/artifacts/" \
        "$corpus" "${seeds[@]}" >"$build/replay.log" 2>&1 || replay_status=$?
fi

last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
echo "target: matrix-$target-fuzzer"
echo "last status line: $last"
echo "executions: ${executions:-unknown} in ${wall} s of wall time (${rate:-?} per second)"
cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1, ft \2/p' <<<"$last")
echo "coverage: ${cov:-unknown} (cov: edges of the program's code reached, ft: features)"
echo "corpus: $( ((${#seeds[@]})) && find "${seeds[@]}" -type f | wc -l || echo 0) seeds," \
    "$(find "$corpus" -type f | wc -l) found"

if ((status != 0)); then
    echo "CRASH: the fuzzer stopped with status $status; see $log" >&2
    grep -E 'invariant broken|ERROR|SUMMARY|Test unit written' "$log" >&2 || true
    echo "reproduce: QT_QPA_PLATFORM=offscreen ASAN_OPTIONS= $fuzzer <artifact from $build/artifacts/>" >&2
    exit 1
fi
if ((replay_status != 0)); then
    echo "LEAK or crash replaying the corpus with leak detection; see $build/replay.log" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$build/replay.log" >&2 || true
    exit 1
fi
echo "replay with leak detection: clean"
