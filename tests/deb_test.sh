#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the .deb, checks its contents and dependencies, and, when run as
# root on a machine where Kestrin is not installed yet, installs it with
# apt-get (proving the dependencies resolve), starts the installed editor
# under a virtual X server, waits for its window, and removes the package.
# Usage: tests/deb_test.sh BUILD_DIR
set -eu
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
for f in ./usr/bin/kestrin ./usr/bin/kestrin-pos \
         ./usr/share/applications/org.kestrin.Kestrin.desktop \
         ./usr/share/metainfo/org.kestrin.Kestrin.metainfo.xml \
         ./usr/share/icons/hicolor/scalable/apps/org.kestrin.Kestrin.svg \
         ./usr/share/icons/hicolor/128x128/apps/org.kestrin.Kestrin.png \
         ./usr/share/man/man1/kestrin.1 ./usr/share/man/man1/kestrin-pos.1; do
    echo "$contents" | grep -qx "$f" || { echo "not in the package: $f" >&2; exit 1; }
done
echo "package contents ok"

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

xvfb-run -a -s "-screen 0 640x480x24" sh -c '
    /usr/bin/kestrin & pid=$!
    for _ in $(seq 1 100); do
        if xdotool search --name "^Aldmere WAVE POS File Editor$" >/dev/null 2>&1; then
            kill $pid; echo "installed editor showed its window"; exit 0
        fi
        sleep 0.1
    done
    kill $pid 2>/dev/null; echo "installed editor showed no window" >&2; exit 1
'
