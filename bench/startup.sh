#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Start-up time and peak memory of the editor beside a bare Qt window, as
# whole processes under a virtual X server. Run from the build's bench folder.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
command -v Xvfb >/dev/null || { echo "startup.sh: Xvfb missing" >&2; exit 0; }
. "$here/x11_window.sh"
with_x "640x480x24 -dpi 96" sh -c '
    here=$1
    echo "== start-up to first expose (hyperfine) =="
    if command -v hyperfine >/dev/null; then
        hyperfine -N --warmup 5 --runs 40 "$here/startup_bare" "$here/startup_editor"
    fi
    echo "== peak resident memory, KiB (median of 9 runs) =="
    for probe in startup_bare startup_editor; do
        for i in 1 2 3 4 5 6 7 8 9; do
            /usr/bin/time -f %M "$here/$probe" 2>&1 >/dev/null | tail -n1
        done | sort -n | sed -n 5p | sed "s/^/$probe: /"
    done
' sh "$here"
