#!/usr/bin/env bash
# A day of matrix-panel in simulated time: a switcher, its cable and a user at
# random against the status window on a fake port (fuzz/rig.h, fuzz/soak_main.cpp).
# Prints a line per simulated hour with the counts, the resident memory and the
# wall time; fails on a broken invariant or memory growth.
#
# usage: scripts/soak.sh [--asan] [--hours N] [--seed S] [--rss-growth PERCENT]
#   --asan  builds into build-asan with AddressSanitizer and
#           UndefinedBehaviorSanitizer and runs there; leaks are reported at
#           exit. The resident memory is shown but not judged: the
#           sanitizer's quarantine keeps freed memory.
set -euo pipefail
cd "$(dirname "$0")/.."

asan=0
args=()
for arg in "$@"; do
    if [[ $arg == --asan ]]; then
        asan=1
    else
        args+=("$arg")
    fi
done

if ((asan)); then
    build="build-asan"
    args=(--rss-growth 1e9 "${args[@]}") # not judged
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATRIX_SANITIZE=ON \
        -DMATRIX_TESTS=ON >/dev/null
    cmake --build "$build" -j"$(nproc)" --target matrix-soak
else
    build="build"
    scripts/setup.sh matrix-soak
fi

export QT_QPA_PLATFORM=offscreen
export MATRIX_PANEL_PORTS=
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$build/matrix-soak" "${args[@]}"
