#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs (only those missing) and
# builds the panel, the simulator and the tests into build/.
# Extra CMake options can be passed in MATRIX_CMAKE_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev
  libgtest-dev libbenchmark-dev
  fonts-dejavu-core desktop-file-utils
)

scripts/install-packages.sh "${packages[@]}"

# shellcheck disable=SC2086
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo ${MATRIX_CMAKE_ARGS:-} >/dev/null
cmake --build build -j"$(nproc)"
