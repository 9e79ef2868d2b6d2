#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The editor's command line as a shell runs it: help and version answered
# without any display, wrong arguments refused with status 2 after Qt took
# its own options, and FILE.POS opened at start. The last is checked under a
# virtual X server where one is installed: the file given by a relative name
# is changed by keyboard and saved, which only works if it was opened.
# Usage: tests/command_line_test.sh path/to/kestrin
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tests=$(cd "$(dirname "$0")" && pwd)
. "$tests/private_home.sh"
. "$tests/x11_window.sh"
private_scratch
failed=0

# row STATUS STREAM PATTERN ARGUMENT...: runs the editor without a display
# and expects the exit status and an extended regular expression on the
# stream (out or err).
row() {
    want=$1 stream=$2 pattern=$3
    shift 3
    got=0
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin" "$@" \
        >"$work/out" 2>"$work/err" </dev/null || got=$?
    if [ "$got" -ne "$want" ] || ! grep -Eq -- "$pattern" "$work/$stream"; then
        echo "kestrin $*: status $got (want $want), std$stream lacks /$pattern/" >&2
        cat "$work/out" "$work/err" >&2
        failed=1
    fi
}
row 0 out '^Usage: kestrin \[FILE\.POS\]$' --help
row 0 out '^Usage: kestrin \[FILE\.POS\]$' -h
row 0 out '^kestrin [0-9]+\.[0-9]+\.[0-9]+$' --version
row 0 out '^kestrin [0-9]+\.[0-9]+\.[0-9]+$' BGM01.POS -v
row 2 err '^kestrin: unknown option --frobnicate$' -platform offscreen --frobnicate
row 2 err '^kestrin: one POS file at a time, not 2$' -platform offscreen a.POS b.POS
row 2 err '^kestrin: the file name is empty$' -platform offscreen ''
[ "$failed" -eq 0 ]

if ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
    echo "command line ok; opening at start not run: no Xvfb or xdotool"
    exit 0
fi
# start 44100, stop 2646000 (60 s)
printf '\104\254\000\000\360\137\050\000' >"$work/BGM01.POS"
cp "$work/BGM01.POS" "$work/before.POS"
cd "$work"
with_x "800x600x24 -dpi 96" sh -c '
    set -eu
    . "$2"
    "$1" BGM01.POS >editor.log 2>&1 & pid=$!
    trap "kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true" EXIT
    win=$(wait_for_window "Aldmere WAVE POS File Editor")
    xdotool windowfocus --sync "$win"
    wait_for_keys BGM01.POS
    # from the start sample field, three tabs reach the stop slider; End is 600 s
    xdotool key Tab Tab Tab End ctrl+s
    wait_for_change BGM01.POS before.POS
' sh "$bin" "$tests/x11_window.sh" || echo "the session under X failed" >&2
got=$(od -An -v -tx1 BGM01.POS | tr -s " \n" " " | sed "s/^ //; s/ $//")
want="44 ac 00 00 60 bf 93 01"
if [ "$got" != "$want" ]; then
    echo "BGM01.POS holds $got, expected $want (stop 600 s): it was not opened at start" >&2
    cat editor.log >&2 || true
    exit 1
fi
echo "command line ok; BGM01.POS opened at start: $got"
