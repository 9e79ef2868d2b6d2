#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# End to end, as a user works: start the built editor under a virtual X
# server, open a POS file through the real dialog by keyboard, move the stop
# slider with the arrow keys, press Ctrl+S and check the bytes on disk.
# Usage: tests/e2e_keyboard.sh path/to/kestrin
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tests=$(cd "$(dirname "$0")" && pwd)
. "$tests/private_home.sh"
. "$tests/x11_window.sh"
private_scratch
# start 44100, stop 2646000 (60 s), then a tail that must survive
printf '\104\254\000\000\360\137\050\000TAIL' >"$work/BGM01.POS"

cp "$work/BGM01.POS" "$work/before.POS"
cd "$work"
with_x "800x600x24 -dpi 96" sh -c '
    set -eu
    bin=$1; work=$2
    . "$3"
    "$bin" >"$work/editor.log" 2>&1 & pid=$!
    trap "kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true" EXIT
    win=$(wait_for_window "Aldmere WAVE POS File Editor")
    xdotool windowfocus --sync "$win"
    xdotool key ctrl+o
    dlg=$(wait_for_window "Open an QRV POS File")
    xdotool windowfocus --sync "$dlg"
    # the name without extension: the dialog adds .POS
    xdotool type --delay 5 "$work/BGM01"
    xdotool key Return
    wait_for_no_window "Open an QRV POS File"
    xdotool windowfocus --sync "$win"
    wait_for_keys "$work/BGM01.POS"
    # focus is back on the start sample field; three tabs reach the stop slider
    xdotool key Tab Tab Tab
    for _ in $(seq 1 60); do xdotool key Right; done
    xdotool key ctrl+s
    wait_for_change "$work/BGM01.POS" "$work/before.POS"
' sh "$bin" "$work" "$tests/x11_window.sh" || echo "the session under X failed" >&2

got=$(od -An -v -tx1 "$work/BGM01.POS" | tr -s " \n" " " | sed "s/^ //; s/ $//")
want="44 ac 00 00 e0 bf 50 00 54 41 49 4c"
if [ "$got" != "$want" ]; then
    echo "BGM01.POS holds: $got" >&2
    echo "expected:        $want (start 44100, stop 5292000 = 120 s, tail kept)" >&2
    cat "$work/editor.log" >&2 || true
    exit 1
fi
echo "BGM01.POS: $got"
