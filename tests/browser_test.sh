#!/usr/bin/env bash
# The browser panel in a real browser: Debian's Chromium, headless, driven
# through chromium-driver by python3-selenium. Skipped (exit 77) where they
# are not installed (scripts/test.sh installs them).
#   tests/browser_test.sh MATRIX_PANEL MATRIX_SIM [--screenshot FILE.png]
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -x /usr/bin/chromium ] || [ ! -x /usr/bin/chromedriver ] ||
  ! /usr/bin/python3 -c 'import selenium' 2>/dev/null; then
  echo "browser_test: SKIPPED: chromium, chromium-driver and python3-selenium are not" \
    "installed here (scripts/test.sh installs them)"
  exit 77
fi
# Debian's python3-selenium belongs to Debian's own Python, which need not be
# the first python3 on the PATH.
exec /usr/bin/python3 "$here/browser_test.py" "$@"
