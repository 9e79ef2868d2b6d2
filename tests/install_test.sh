#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a scratch prefix and checks the installed tree:
# every file in place, and the desktop entry and AppStream data valid.
# Usage: tests/install_test.sh BUILD_DIR
set -eu
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/usr" >/dev/null

missing=0
for f in bin/kestrin bin/kestrin-pos lib/kestrin/libkestrin_sound.so \
         share/applications/org.kestrin.Kestrin.desktop \
         share/metainfo/org.kestrin.Kestrin.metainfo.xml \
         share/mime/packages/org.kestrin.Kestrin.xml \
         share/icons/hicolor/scalable/apps/org.kestrin.Kestrin.svg \
         share/icons/hicolor/16x16/apps/org.kestrin.Kestrin.png \
         share/icons/hicolor/48x48/apps/org.kestrin.Kestrin.png \
         share/icons/hicolor/256x256/apps/org.kestrin.Kestrin.png \
         share/man/man1/kestrin.1 share/man/man1/kestrin-pos.1 \
         share/doc/kestrin/screenshot.png; do
    if [ ! -e "$stage/usr/$f" ]; then
        echo "not installed: $f" >&2
        missing=1
    fi
done
[ "$missing" -eq 0 ]

# Nothing else: no test or benchmark programs, no libraries, no headers.
extra=$(cd "$stage/usr" && find . -type f | grep -v -e '^./bin/kestrin' -e '^./lib/kestrin/libkestrin_sound.so$' -e '^./share/' || true)
[ -z "$extra" ] || { echo "unexpected files installed:" >&2; echo "$extra" >&2; exit 1; }

desktop="$stage/usr/share/applications/org.kestrin.Kestrin.desktop"
grep -qx 'Name=Kestrin' "$desktop"
grep -qx 'GenericName=POS File Editor' "$desktop"
grep -qx 'Categories=AudioVideo;Audio;' "$desktop"
# One file at a time, of the type the MIME definition declares.
grep -qx 'Exec=kestrin %f' "$desktop"
grep -qx 'MimeType=application/x-kestrin-pos;' "$desktop"
mime="$stage/usr/share/mime/packages/org.kestrin.Kestrin.xml"
if command -v xmllint >/dev/null; then
    xmllint --noout "$mime"
fi
if command -v update-mime-database >/dev/null; then
    # Builds a database inside the stage only. The glob line carries no ":cs"
    # flag: any case of .pos is the type.
    built=$(update-mime-database "$stage/usr/share/mime" 2>&1) || { echo "$built" >&2; exit 1; }
    grep -qx '50:application/x-kestrin-pos:\*\.pos' "$stage/usr/share/mime/globs2"
    grep -qx 'application/x-kestrin-pos' "$stage/usr/share/mime/types"
fi
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop"
fi
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$stage/usr/share/metainfo/org.kestrin.Kestrin.metainfo.xml"
fi
if command -v man >/dev/null; then
    for page in kestrin kestrin-pos; do
        MANWIDTH=80 man -l "$stage/usr/share/man/man1/$page.1" 2>&1 >/dev/null |
            (! grep .) || { echo "man page $page has warnings" >&2; exit 1; }
    done
fi
"$stage/usr/bin/kestrin-pos" --help >/dev/null
echo "installed tree ok"
