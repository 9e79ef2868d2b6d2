#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the .deb, checks its contents, dependencies and lintian's verdict,
# unpacks it into a scratch folder and starts the unpacked programs: the
# editor under a virtual X server until its window shows. Nothing outside the
# scratch folder is touched, unless CI=true or KESTRIN_TEST_SYSTEM_INSTALL=1:
# then, as root on a machine without Kestrin, the package is also installed
# with apt-get (proving the dependencies resolve), started and removed.
# Usage: tests/deb_test.sh BUILD_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
out=$(mktemp -d)
chmod 755 "$out" # apt's sandbox user must be able to read the package
trap 'rm -rf "$out"' EXIT
(cd "$out" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$out"/kestrin_*.deb)

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for pkg in libqt6widgets6 libqt6gui6 libqt6core6 libsndfile1 libstdc++6 libc6 \
           qt6-qpa-plugins fonts-liberation; do
    echo "$depends" | grep -q "\b$pkg\b" || { echo "missing dependency: $pkg" >&2; exit 1; }
done

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/kestrin ./usr/bin/kestrin-pos ./usr/lib/kestrin/libkestrin_sound.so \
         ./usr/share/applications/org.kestrin.Kestrin.desktop \
         ./usr/share/metainfo/org.kestrin.Kestrin.metainfo.xml \
         ./usr/share/icons/hicolor/scalable/apps/org.kestrin.Kestrin.svg \
         ./usr/share/icons/hicolor/128x128/apps/org.kestrin.Kestrin.png \
         ./usr/share/man/man1/kestrin.1.gz ./usr/share/man/man1/kestrin-pos.1.gz \
         ./usr/share/doc/kestrin/copyright ./usr/share/doc/kestrin/changelog.Debian.gz; do
    echo "$contents" | grep -qx "$f" || { echo "not in the package: $f" >&2; exit 1; }
done
echo "package contents ok"

command -v lintian >/dev/null || { echo "lintian missing: run scripts/install-deps" >&2; exit 1; }
# Warnings are listed for the reader; only errors fail. lintian frowns on
# root but works.
verdict=0
lintian --fail-on error --tag-display-limit 0 "$deb" >"$out/lintian.txt" 2>&1 || verdict=$?
grep -v 'running with root privileges' "$out/lintian.txt" || true
[ "$verdict" -eq 0 ] || { echo "lintian found errors in the package" >&2; exit 1; }
echo "lintian: no errors"

# Every program the editor or the package starts writes below this folder.
. "$here/private_home.sh"
. "$here/x11_window.sh"
private_home "$out/env"

# Runs the given editor under a virtual X server until its window shows.
editor_shows_window() {
    with_x "640x480x24" sh -c '
        . "$2"
        "$1" & pid=$!
        shown=1
        wait_for_window "^Aldmere WAVE POS File Editor$" >/dev/null && shown=0
        kill $pid 2>/dev/null
        wait $pid 2>/dev/null
        if [ $shown -eq 0 ]; then echo "$1 showed its window"; else echo "$1 showed no window" >&2; fi
        exit $shown
    ' sh "$1" "$here/x11_window.sh"
}

dpkg-deb -x "$deb" "$out/root"
"$out/root/usr/bin/kestrin-pos" --help >/dev/null
editor_shows_window "$out/root/usr/bin/kestrin"

if [ "${CI:-}" != true ] && [ "${KESTRIN_TEST_SYSTEM_INSTALL:-}" != 1 ]; then
    echo "installing into the system skipped: set CI=true or KESTRIN_TEST_SYSTEM_INSTALL=1"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: installing the package skipped"
    exit 0
fi
if dpkg-query -W -f='${Status}' kestrin 2>/dev/null | grep -q "install ok installed"; then
    echo "kestrin is already installed here: leaving it alone"
    exit 0
fi
trap 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq kestrin >/dev/null 2>&1 || true; rm -rf "$out"' EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
test -x /usr/bin/kestrin
/usr/bin/kestrin-pos --help >/dev/null
editor_shows_window /usr/bin/kestrin
