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
private_scratch

le32() { # a number as 4 little-endian bytes
    printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $(($1 >> 8 & 255)))"
    printf "\\$(printf %03o $(($1 >> 16 & 255)))\\$(printf %03o $(($1 >> 24 & 255)))"
}
# One period: 50 stereo frames at +16000, 50 at -16000 (16-bit little endian).
high=$(printf '\200\076\200\076'); low=$(printf '\200\301\200\301')
: >"$work/period"
for _ in $(seq 1 50); do printf '%s' "$high" >>"$work/period"; done
for _ in $(seq 1 50); do printf '%s' "$low" >>"$work/period"; done
cp "$work/period" "$work/data"
for _ in $(seq 1 10); do cat "$work/data" "$work/data" >"$work/twice" && mv "$work/twice" "$work/data"; done
bytes=$(wc -c <"$work/data") # 102400 frames
{
    printf 'RIFF'; le32 $((36 + bytes)); printf 'WAVEfmt '; le32 16
    printf '\001\000\002\000'; le32 44100; le32 176400; printf '\004\000\020\000'
    printf 'data'; le32 "$bytes"; cat "$work/data"
} >"$work/LOOP.WAV"
# start 1000, stop 80000
printf '\350\003\000\000\200\070\001\000' >"$work/LOOP.POS"

status=0
for scale in 1 2; do
    shot="$work/screen-$scale.png"
    xvfb-run -a -n "$(( $$ % 500 + 100 ))" -s "-screen 0 1600x1400x24 -dpi 96" sh -c '
        set -eu
        bin=$1; work=$2; scale=$3; shot=$4
        . "$5"
        QT_SCALE_FACTOR=$scale "$bin" >"$work/editor.log" 2>&1 & pid=$!
        win=$(wait_for_window "Aldmere WAVE POS File Editor")
        sleep 0.3
        xdotool windowfocus --sync "$win"
        xdotool key ctrl+o
        sleep 0.8
        xdotool type --delay 5 "$work/LOOP"
        xdotool key Return
        sleep 1.5
        eval "$(xdotool getwindowgeometry --shell "$win")"
        echo "$X $Y $WIDTH $HEIGHT" >"$work/geometry"
        import -window root "$shot"
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    ' sh "$bin" "$work" "$scale" "$shot" "$tests/x11_window.sh"
    read -r x y width height <"$work/geometry"
    # The form takes the top 230 pixels at scale 1 (menu bar included); the
    # panel lies below it, the status bar at the very bottom.
    top=$((y + 240 * scale))
    panel_height=$((height - 240 * scale - 30 * scale))
    if [ "$panel_height" -le 0 ]; then
        echo "scale $scale: the window is ${width}x${height}, no room for a panel" >&2
        status=1
        continue
    fi
    dark=$(convert "$shot" -crop "${width}x${panel_height}+${x}+${top}" +repage \
        -colorspace Gray -threshold 40% -negate -format '%[fx:round(mean*w*h)]' info:)
    want=$((3000 * scale * scale))
    echo "scale $scale: window ${width}x${height}, $dark dark pixels in the panel (at least $want)"
    if [ "$dark" -lt "$want" ]; then
        cp "$shot" "${TMPDIR:-/tmp}/kestrin-waveform-screen-$scale.png"
        echo "too few: see ${TMPDIR:-/tmp}/kestrin-waveform-screen-$scale.png" >&2
        cat "$work/editor.log" >&2 || true
        status=1
    fi
done
exit $status
