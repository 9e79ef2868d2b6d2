#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# At 200 % on an 800×600 screen (QT_SCALE_FACTOR=2 on a 1600×1200 virtual X
# server, under a window manager that places and frames windows), the window
# with its panels and the Find dialog lie wholly on the screen, title bars
# included, for a POS file whose name is 156 characters long with "—" and
# accents. Pictures go to $KESTRIN_SCREENSHOTS when set.
# Usage: tests/layout_200_percent.sh path/to/kestrin
set -eu
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
tests=$(cd "$(dirname "$0")" && pwd)
. "$tests/private_home.sh"
. "$tests/x11_window.sh"
. "$tests/square_wave.sh"
private_scratch
command -v openbox >/dev/null || { echo "openbox is not installed" >&2; exit 1; }

name="Überlänge — Ouvertüre für Streicher, Bläser und Chor in drei Sätzen, aufgenommen im Großen Saal — Fassung letzter Hand, ungekürzt, mit Wiederholungen Teil 1"
square_wave "$work/$name.WAV"
printf '\350\003\000\000\200\070\001\000' >"$work/$name.POS" # start 1000, stop 80000
cp "$work/$name.WAV" "$work/B.WAV" && cp "$work/$name.POS" "$work/B.POS"

# Usage: on_screen WINDOW WHAT — succeeds when WINDOW, its menu bar and
# status line, with its title bar above it, lies wholly on the screen; says
# where it lies. (openbox places a window for the size it has when mapped,
# and may centre the form alone: the window grown since is brought back.)
on_screen() {
    geometry() { xwininfo -id "$1" | sed -n "s/.*$2: *//p"; }
    frame=$(xwininfo -id "$1" -tree | sed -n 's/.*Parent window id: \(0x[0-9a-f]*\).*/\1/p')
    x=$(geometry "$1" "Absolute upper-left X") y=$(geometry "$1" "Absolute upper-left Y")
    w=$(geometry "$1" Width) h=$(geometry "$1" Height) top=$(geometry "$frame" "Absolute upper-left Y")
    echo "$2: ${w}x${h} at $x,$y, title bar from y=$top"
    [ "$top" -lt "$y" ] && [ "$top" -ge 0 ] && [ "$x" -ge 0 ] && [ $((x + w)) -le 1600 ] && [ $((y + h)) -le 1200 ]
}

session() {
    start_openbox "$work/openbox.log" || return 1
    QT_SCALE_FACTOR=2 "$bin" "$work/$name.POS" >"$work/editor.log" 2>&1 &
    pid=$!
    fits=1
    if win=$(wait_for_window "Aldmere WAVE POS File Editor" 2>"$work/session.err") &&
        xdotool windowfocus --sync "$win" && wait_for_keys "$work/$name.POS" &&
        { wait_until 60 on_screen "$win" window >/dev/null || true; } &&
        import -window root "$work/window.png" && on_screen "$win" window &&
        xdotool key ctrl+f && dialog=$(wait_for_window "Find Loop Points") &&
        import -window root "$work/find.png" && on_screen "$dialog" "Find dialog"; then
        fits=0
    fi
    kill "$pid" "$wm_pid" 2>/dev/null || true
    wait "$pid" "$wm_pid" 2>/dev/null || true
    cat "$work/session.err" >&2
    return "$fits"
}

status=0
with_x "1600x1200x24 -dpi 96" session || status=1
if [ -n "${KESTRIN_SCREENSHOTS:-}" ]; then
    mkdir -p "$KESTRIN_SCREENSHOTS"
    cp "$work"/*.png "$KESTRIN_SCREENSHOTS" 2>/dev/null || true
fi
[ "$status" -eq 0 ] || cat "$work/editor.log" >&2
exit $status
