#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# How long the editor's process lives after its window is closed: 10 runs of
# opening a POS file beside its audio, playing it, starting Find Loop Points,
# then Alt+F4 on the window under a window manager (a real close event) while
# the search runs, with a private sound server. Prints each close-to-exit
# time and their median, in seconds. The audio is 3 minutes of plucked
# strings at 48 kHz in Ogg that sox makes, or AUDIO; a soundtrack of 12
# copies, looped from the 10th second to 10 s before the end, which the
# soundtrack panel judges meanwhile.
# Usage: bench/close_exit.sh [path/to/kestrin [AUDIO]] (in a build's bench
# folder, the build's own editor by default)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../app/kestrin}
bin=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")
for tool in Xvfb openbox xdotool pulseaudio sox; do
    command -v "$tool" >/dev/null || { echo "close_exit.sh: $tool missing" >&2; exit 0; }
done
# The scripts sit beside this one in a build, one folder over in the sources.
lib=$here
[ -f "$lib/x11_window.sh" ] || lib=$here/../tests
. "$lib/private_home.sh"
. "$lib/x11_window.sh"
. "$lib/square_wave.sh"
pulse=$here/with-pulse
[ -x "$pulse" ] || pulse=$here/../scripts/with-pulse
if [ "${3:-}" != inside ]; then
    [ -x "$bin" ] || { echo "close_exit.sh: no editor at $bin" >&2; exit 0; }
    audio=${2:-}
    [ -z "$audio" ] || audio=$(cd "$(dirname "$audio")" && pwd)/$(basename "$audio")
    # Again, inside a private sound server and a virtual screen.
    with_x "1024x768x24 -dpi 96" "$pulse" "$0" "$bin" "$audio" inside
    exit
fi
private_scratch
audio=$2
if [ -z "$audio" ]; then
    audio=$work/strings.ogg
    sox -n -r 48000 -c 2 "$audio" synth 180 pluck 220 pluck 330 tremolo 3 60
fi
frames=$(soxi -s "$audio")
rate=$(soxi -r "$audio")
# The audio beside a POS file is the one named .WAV, whatever it holds.
for track in A B C D E F G H I J K L; do
    cp "$audio" "$work/$track.WAV"
    { le32 $((10 * rate)); le32 $((frames - 10 * rate)); } >"$work/$track.POS"
done

start_openbox "$work/openbox.log"
for _ in 1 2 3 4 5 6 7 8 9 10; do
    "$bin" "$work/A.POS" >"$work/editor.log" 2>&1 &
    pid=$!
    win=$(wait_for_window "Aldmere WAVE POS File Editor")
    xdotool windowfocus --sync "$win"
    wait_for_keys "$work/A.POS"
    # F5 plays the loop: the sound module and its server connection are
    # what there is to let go of, and a search in one of its long steps.
    xdotool key F5 ctrl+f
    sleep 0.5
    xdotool windowactivate --sync "$win"
    began=$(date +%s.%N)
    xdotool key alt+F4
    wait "$pid" || echo "exit status $?" >&2
    ended=$(date +%s.%N)
    echo "$began $ended" | awk '{ printf "%.3f\n", $2 - $1 }'
done | tee "$work/times"
echo "median: $(sort -n "$work/times" | sed -n 5p) s"
kill "$wm_pid" 2>/dev/null || true
wait "$wm_pid" 2>/dev/null || true
