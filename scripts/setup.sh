#!/usr/bin/env bash
# Installs the Debian 12 packages that the build needs (only those missing),
# configures build/ and builds.
#   scripts/setup.sh [TARGET...]     everything or the targets named: the
#                                    programs, the tests and the tools that draw
#                                    the pictures, warnings as errors
#   scripts/setup.sh --programs      the two programs only: no GoogleTest needed,
#                                    and a new compiler's new warning stops nothing
#   scripts/setup.sh --packages-only install the packages, build nothing
# run.sh builds the programs and test.sh everything in the same build/, so
# that one reuses what the other built: --programs configures build/ only
# where nothing has configured it yet. Extra CMake options can be passed in
# MATRIX_CMAKE_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev
  qt6-httpserver-dev qt6-websockets-dev libmosquitto-dev
  fonts-dejavu-core
)
[ "${1:-}" = --programs ] || packages+=(libgtest-dev qt6-svg-dev)
scripts/install-packages.sh "${packages[@]}"
if [ "${1:-}" = --packages-only ]; then exit 0; fi

if [ "${1:-}" = --programs ]; then
  if [ ! -f build/CMakeCache.txt ]; then
    # shellcheck disable=SC2086
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo ${MATRIX_CMAKE_ARGS:-} >/dev/null
  fi
  cmake --build build -j"$(nproc)" --target matrix-panel matrix-sim
else
  # shellcheck disable=SC2086
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATRIX_TESTS=ON -DMATRIX_WERROR=ON \
    -DMATRIX_TOOLS=ON ${MATRIX_CMAKE_ARGS:-} >/dev/null
  targets=()
  for target in "$@"; do targets+=(--target "$target"); done
  cmake --build build -j"$(nproc)" "${targets[@]}"
fi
