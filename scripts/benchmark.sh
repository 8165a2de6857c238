#!/usr/bin/env bash
# Measures matrix-panel on this machine and prints one table (bench/benchmark.py
# says what is measured). About 10 minutes on 2 cores after the build, most of
# it the four 60 s runs on a line with noise.
#   scripts/benchmark.sh [BUILD_DIR [MEASURE...]]
#                                         default: a Release build with the
#                                         benchmarks in build-bench, made here;
#                                         MEASURE: only these (benchmark.py lists them)
#   NOISE_SECONDS=S scripts/benchmark.sh  each noise run S s, default 60
set -eu
REPO=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -eq 0 ]; then
  "$REPO/scripts/install-packages.sh" libbenchmark-dev python3 || exit 2
  cmake -S "$REPO" -B "$REPO/build-bench" -DCMAKE_BUILD_TYPE=Release -DMATRIX_BENCHMARKS=ON >/dev/null || exit 2
  cmake --build "$REPO/build-bench" -j"$(nproc)" >/dev/null || exit 2
  set -- "$REPO/build-bench"
elif [ ! -d "$1" ] && [ -d "$REPO/$1" ]; then
  set -- "$REPO/$1"
fi
exec python3 "$REPO/bench/benchmark.py" "$@"
