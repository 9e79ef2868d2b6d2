#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The waveform panel really draws: start the built editor under a virtual X
# server at scale factor 1 and 2, open a POS file beside a square-wave WAVE
# file by keyboard, take a picture of the screen and count the dark
# waveform pixels in the panel, below the form.
# Usage: tests/waveform_screenshot.sh path/to/kestrin
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tests=$(cd "$(dirname "$0")" && pwd)
. "$tests/private_home.sh"
. "$tests/x11_window.sh"
. "$tests/square_wave.sh"
private_scratch

square_wave "$work/LOOP.WAV"
# start 1000, stop 80000
printf '\350\003\000\000\200\070\001\000' >"$work/LOOP.POS"

# Usage: panel_drawn WINDOW SCALE SHOT WANT — takes a picture of the screen
# and succeeds when the panel below the form holds WANT dark pixels; leaves
# "WIDTH HEIGHT DARK" in $work/result. The form takes the top 230 pixels at
# scale 1 (menu bar included); the status bar lies at the very bottom.
panel_drawn() {
    eval "$(xdotool getwindowgeometry --shell "$1")"
    import -window root "$3"
    top=$((Y + 240 * $2))
    panel_height=$((HEIGHT - 240 * $2 - 30 * $2))
    echo "$WIDTH $HEIGHT 0" >"$work/result"
    [ "$panel_height" -gt 0 ] || return 1
    dark=$(convert "$3" -crop "${WIDTH}x${panel_height}+${X}+${top}" +repage \
        -colorspace Gray -threshold 40% -negate -format '%[fx:round(mean*w*h)]' info:)
    echo "$WIDTH $HEIGHT $dark" >"$work/result"
    [ "$dark" -ge "$4" ]
}

# Usage: session SCALE SHOT WANT — opens LOOP.POS by keyboard in the editor
# and waits until the panel shows the waveform.
session() {
    QT_SCALE_FACTOR=$1 "$bin" >"$work/editor.log" 2>&1 &
    pid=$!
    drawn=1
    if win=$(wait_for_window "Aldmere WAVE POS File Editor") &&
        xdotool windowfocus --sync "$win" && xdotool key ctrl+o &&
        dialog=$(wait_for_window "Open an QRV POS File") &&
        xdotool windowfocus --sync "$dialog" && xdotool type --delay 5 "$work/LOOP" &&
        xdotool key Return && wait_for_no_window "Open an QRV POS File" &&
        wait_until 60 panel_drawn "$win" "$1" "$2" "$3"; then
        drawn=0
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    return "$drawn"
}

status=0
for scale in 1 2; do
    shot="$work/screen-$scale.png"
    want=$((3000 * scale * scale))
    echo "0 0 0" >"$work/result"
    with_x "1600x1400x24 -dpi 96" session "$scale" "$shot" "$want" || true
    read -r width height dark <"$work/result"
    echo "scale $scale: window ${width}x${height}, $dark dark pixels in the panel (at least $want)"
    if [ "$dark" -lt "$want" ]; then
        [ -f "$shot" ] && cp "$shot" "${TMPDIR:-/tmp}/kestrin-waveform-screen-$scale.png"
        echo "too few: see ${TMPDIR:-/tmp}/kestrin-waveform-screen-$scale.png" >&2
        cat "$work/editor.log" >&2 || true
        status=1
    fi
done
exit $status
