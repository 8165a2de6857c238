#!/usr/bin/env bash
# Fuzzes the receive path with libFuzzer: arbitrary bytes as programs of steps
# on the rig (fuzz/rig.h) - bytes through the fake port, ticks, port failures,
# clicks - with every invariant checked after every step.
# Builds build-fuzz with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# fuzzes for SECONDS starting from fuzz/corpus (read only: new inputs go to
# build-fuzz/corpus), then replays everything found with leak detection on.
# Prints the executions, their rate and the coverage; fails on a crash, whose
# input is left in build-fuzz/artifacts/.
#
# usage: scripts/fuzz.sh [SECONDS]      (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

packages=(cmake make clang libclang-rt-14-dev qt6-base-dev qt6-serialport-dev qt6-qpa-plugins
    libgl-dev)
scripts/install-packages.sh "${packages[@]}"

build="build-fuzz"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMATRIX_FUZZ=ON -DMATRIX_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target matrix-receive-fuzzer

mkdir -p "$build/corpus" "$build/artifacts"
export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# A small quarantine and short allocation stacks keep the fuzzer's memory flat
# and double its speed; rerun an artifact with ASAN_OPTIONS= for full reports.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=2}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0}
fuzzer=$build/matrix-receive-fuzzer
log=$build/fuzz.log

# Leak checks after every input that allocated more than it freed cost more
# than the rest of the run: they are left to the replay below.
status=0
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -detect_leaks=0 -timeout=20 \
    -artifact_prefix="$build/artifacts/" "$build/corpus" fuzz/corpus >"$log" 2>&1 || status=$?

replay_status=0
if ((status == 0)); then
    "$fuzzer" -runs=0 -detect_leaks=1 -artifact_prefix="$build/artifacts/" \
        "$build/corpus" fuzz/corpus >"$build/replay.log" 2>&1 || replay_status=$?
fi

last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
echo "fuzzed ${seconds} s: $last"
grep -E '^(stat::|Done )' "$log" || true
cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/cov \1, ft \2/p' <<<"$last")
echo "coverage: ${cov:-unknown} (cov: edges of the program's code reached, ft: features)"
echo "corpus: $(find fuzz/corpus -type f | wc -l) seeds, $(find "$build/corpus" -type f | wc -l) found"

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
