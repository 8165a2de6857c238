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

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# shellcheck disable=SC2086
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo ${MATRIX_CMAKE_ARGS:-} >/dev/null
cmake --build build -j"$(nproc)"
