#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Closing the window by its window manager (Alt+F4 under openbox) while a
# loop search runs and a loop plays ends the process with status 0, its
# window remembered, and nothing of it left running.
# Usage: tests/close_exit_test.sh path/to/kestrin
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tests=$(cd "$(dirname "$0")" && pwd)
. "$tests/private_home.sh"
. "$tests/x11_window.sh"
# Again, inside a virtual screen and a private sound server.
[ "${2:-}" = inside ] ||
    exec sh -c '. "$1"; with_x "1024x768x24 -dpi 96" "$2" "$3" "$4" inside' sh \
        "$tests/x11_window.sh" "$tests/../scripts/with-pulse" "$0" "$bin"
private_scratch
# Three minutes at 48 kHz in Ogg: a search of it outlasts the session.
sox -n -r 48000 -c 2 -t ogg "$work/A.WAV" synth 180 pluck 220 pluck 330 tremolo 3 60
printf '\250\272\006\000\050\145\162\000' >"$work/A.POS" # start 441,000, stop 7,497,000
start_openbox "$work/openbox.log"
"$bin" "$work/A.POS" >"$work/editor.log" 2>&1 &
pid=$!
trap 'kill $pid $wm_pid 2>/dev/null || true; rm -rf "$work"' EXIT
win=$(wait_for_window "Aldmere WAVE POS File Editor")
xdotool windowfocus --sync "$win"
wait_for_keys "$work/A.POS"
xdotool key F5 ctrl+f
wait_for_window "Find Loop Points" >/dev/null
xdotool windowactivate --sync "$win" key alt+F4
wait "$pid" || { echo "the editor exited with status $?" >&2 && cat "$work/editor.log" >&2 && exit 1; }
! pgrep -f "$work/A.POS" >&2 || { echo "the editor's process is still there" >&2 && exit 1; }
grep -q '^geometry=' "$XDG_CONFIG_HOME/Kestrin/Kestrin.conf"
