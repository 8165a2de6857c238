#!/usr/bin/env bash
# Builds the Debian package: a Release build of the two programs in
# build-package/, with the hardening flags Debian builds its own packages
# with, packed by CPack. Prints the path of the .deb; install it with
#   sudo apt install ./build-package/matrix-panel_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --packages-only
scripts/install-packages.sh dpkg-dev file

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DMATRIX_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build build-package -j"$(nproc)" >/dev/null
rm -f build-package/*.deb
(cd build-package && cpack -G DEB >/dev/null 2>&1)
echo "$PWD/$(ls build-package/*.deb)"
