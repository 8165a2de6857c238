#!/usr/bin/env bash
# Installs the build into a scratch prefix and packs it with `cpack -G DEB`,
# then checks that both hold the same files, that the package's metadata and
# contents are what Debian expects (lintian, pedantic), and that the menu
# entry, the AppStream metadata and the manual pages pass their validators.
# Skipped (exit 77) where the tools are missing; scripts/test.sh installs them.
#   tests/package_test.sh BUILD-DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
for tool in dpkg-deb dpkg-shlibdeps lintian appstreamcli desktop-file-validate man file readelf systemd-analyze; do
  command -v "$tool" >/dev/null || {
    echo "package_test: SKIPPED: no $tool (scripts/test.sh installs dpkg-dev lintian appstream" \
      "desktop-file-utils man-db file binutils systemd)"
    exit 77
  }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
id=$(sed -n 's/^ *set(MATRIX_APP_ID \(.*\))$/\1/p' "$here/CMakeLists.txt")

# The same install rules, once into a prefix and once into the package.
cmake --install "$build" --prefix "$scratch/root/usr" >/dev/null
(cd "$build" && cpack -G DEB -B "$scratch/deb" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log"; fail "cpack"; }
deb=$(echo "$scratch"/deb/*.deb)
[ -f "$deb" ] || fail "cpack made no .deb"
(cd "$scratch/root" && find . -type f | sed 's|^\./||' | sort) >"$scratch/installed"
dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort \
  >"$scratch/packaged"
diff -u "$scratch/installed" "$scratch/packaged" || fail "cmake --install and the package differ"

expected=(usr/bin/matrix-panel usr/bin/matrix-sim usr/libexec/matrix-panel/matrix-panel-headless
  "usr/share/applications/$id.desktop" "usr/share/metainfo/$id.metainfo.xml"
  usr/share/man/man1/matrix-panel.1.gz usr/share/man/man1/matrix-sim.1.gz
  usr/share/doc/matrix-panel/copyright usr/share/doc/matrix-panel/changelog.Debian.gz
  usr/share/doc/matrix-panel/README.md
  "usr/share/icons/hicolor/scalable/apps/$id.svg")
for size in 16 22 24 32 48 64 128 256; do
  expected+=("usr/share/icons/hicolor/${size}x$size/apps/$id.png")
done
for f in "${expected[@]}"; do
  grep -qxF "$f" "$scratch/packaged" || fail "missing from the package: $f"
done

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = matrix-panel ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version-1" ] || fail "Version: $(field Version), not $version-1"
[ "$(field Section)" = video ] || fail "Section: $(field Section)"
for dep in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libc6; do
  field Depends | grep -qw "$dep" || fail "Depends lacks $dep: $(field Depends)"
done
field Depends | grep -qw qt6-qpa-plugins && fail "Depends names qt6-qpa-plugins, of no use here"
[ "$(field Recommends)" = qt6-wayland ] || fail "Recommends: $(field Recommends), not qt6-wayland"

# The packed program runs, and says the version the package carries.
dpkg-deb --extract "$deb" "$scratch/x"
[ "$("$scratch/x/usr/bin/matrix-panel" --version)" = "matrix-panel $version" ] ||
  fail "the packed matrix-panel does not say version $version"
for program in "$scratch"/x/usr/bin/*; do
  name=$(basename "$program")
  file "$program" | grep -q ', stripped' || fail "$name is not stripped"
  readelf -d "$program" | grep -qE 'RUNPATH|RPATH' && fail "$name carries a RUNPATH"
  readelf -S "$program" | grep -qE ' \.comment | \.note ' && fail "$name keeps .comment or .note"
done

# Everything lintian says, down to pedantic notes, unless overridden with a
# reason. A build without Debian's hardening flags (scripts/package.sh sets
# them) is told so instead of failing on their absence.
suppress=()
grep -q '_FORTIFY_SOURCE' "$build/CMakeCache.txt" ||
  { suppress=(--suppress-tags hardening-no-bindnow,hardening-no-fortify-functions)
    echo "package_test: this build lacks Debian's hardening flags; lintian is not asked about them"; }
lintian -I --pedantic --fail-on error,warning,info,pedantic "${suppress[@]}" "$deb" \
  >"$scratch/lintian" 2>&1 || { cat "$scratch/lintian"; fail "lintian -I --pedantic is not clean"; }

root=$scratch/root/usr/share
desktop-file-validate "$root/applications/$id.desktop" || fail "desktop-file-validate"
# A dock groups the window (its X11 class is the desktop file's name) with the menu entry.
grep -qxF "StartupWMClass=$id" "$root/applications/$id.desktop" || fail "StartupWMClass is not $id"
appstreamcli validate --no-net --strict --explain "$root/metainfo/$id.metainfo.xml" >"$scratch/as" 2>&1 ||
  { cat "$scratch/as"; fail "appstreamcli validate"; }
# Every log category the program has is in the manual page and the README.
for category in $(grep -rhoE 'Q_LOGGING_CATEGORY\([A-Za-z]+, "matrix\.[a-z]+"' "$here"/{app,core,link,supervision,session,panel,net,remote,videohub,mqtt} |
  sed 's/.*"\(.*\)"/\1/' | sort -u); do
  zcat "$root/man/man1/matrix-panel.1.gz" | grep -qF "matrix.${category#matrix.}" ||
    fail "the manual page lacks the log category $category"
  grep -qF "\`$category\`" "$here/README.md" || fail "the README lacks the log category $category"
done
for page in "$root"/man/man1/*.1.gz; do
  out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$out" ] || fail "man --warnings $(basename "$page"): $out"
done
# The system service: its unit and its example settings, all comments, as a
# conffile; the unit as systemd reads it, hardened to an exposure of at most
# 2.0, "OK". verify needs the program where ExecStart names it.
for f in usr/lib/systemd/system/matrix-panel.service usr/lib/systemd/system/matrix-panel@.service \
  etc/matrix-panel.conf; do
  grep -qxF "$f" "$scratch/packaged" || fail "missing from the package: $f"
done
[ "$(dpkg-deb --info "$deb" conffiles)" = /etc/matrix-panel.conf ] || fail "conffiles"
! grep -v '^#' "$scratch/x/etc/matrix-panel.conf" | grep -q . ||
  fail "/etc/matrix-panel.conf has lines that are not comments"
mkdir "$scratch/unit"
# The template as one of its instances.
for name in matrix-panel.service matrix-panel@.service:matrix-panel@ttyUSB0.service; do
  unit=$scratch/unit/${name#*:}
  sed "s|=/usr/bin/matrix-panel |=$scratch/x/usr/bin/matrix-panel |" \
    "$scratch/x/usr/lib/systemd/system/${name%%:*}" >"$unit"
  systemd-analyze verify --man=no "$unit" || fail "systemd-analyze verify ${name#*:}"
  exposure=$(systemd-analyze security --offline=yes "$unit" 2>&1 | sed -n 's/.*exposure level for [^:]*: //p')
  awk '$1 <= 2.0 && $2 == "OK" { ok = 1 } END { exit !ok }' <<<"$exposure" ||
    fail "systemd-analyze security ${name#*:}: $exposure, not 2.0 or less, OK"
  echo "service ${name#*:}: systemd-analyze verify clean, security exposure $exposure"
done

echo "package $(basename "$deb"): $(wc -l <"$scratch/packaged") files, same as cmake --install; lintian, appstreamcli, desktop-file-validate and man clean"
