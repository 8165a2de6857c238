#!/usr/bin/env bash
# Installs the Debian 12 packages that the build needs (only those missing),
# configures build/ and builds the targets named, or everything.
#   scripts/setup.sh                         everything, tests included
#   scripts/setup.sh matrix-panel matrix-sim the two programs only
#   scripts/setup.sh --packages-only         install the packages, build nothing
# run.sh and test.sh configure build/ the same way, so that one reuses what
# the other built. Extra CMake options can be passed in MATRIX_CMAKE_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev
  qt6-httpserver-dev qt6-websockets-dev
  libgtest-dev
  fonts-dejavu-core
)
scripts/install-packages.sh "${packages[@]}"
if [ "${1:-}" = --packages-only ]; then exit 0; fi

# shellcheck disable=SC2086
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATRIX_TESTS=ON -DMATRIX_WERROR=ON \
  ${MATRIX_CMAKE_ARGS:-} >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build build -j"$(nproc)" "${targets[@]}"
