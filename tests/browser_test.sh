#!/usr/bin/env bash
# The browser panel in a real browser: Debian's Chromium, headless, driven
# through chromium-driver by python3-selenium. Installs them when missing and
# is skipped (exit 77) where they cannot be installed.
#   tests/browser_test.sh MATRIX_PANEL MATRIX_SIM [--screenshot FILE.png]
set -u
here=$(cd "$(dirname "$0")" && pwd)
if ! "$here/../scripts/install-packages.sh" chromium chromium-driver python3-selenium \
    >/dev/null 2>&1 || ! /usr/bin/python3 -c 'import selenium' 2>/dev/null; then
    echo "browser_test: SKIPPED: chromium, chromium-driver and python3-selenium could not be" \
        "installed here (apt-get install chromium chromium-driver python3-selenium)"
    exit 77
fi
# Debian's python3-selenium belongs to Debian's own Python, which need not be
# the first python3 on the PATH.
exec /usr/bin/python3 "$here/browser_test.py" "$@"
