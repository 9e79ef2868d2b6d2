# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the test scripts that drive the editor under a virtual X server.
# Usage: wait_for_window NAME — prints the id of the first window named NAME
# once it exists; fails after about 10 s.
wait_for_window() {
    for _ in $(seq 1 200); do
        id=$(xdotool search --name "$1" 2>/dev/null | head -n1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.05
    done
    echo "window \"$1\" did not appear" >&2
    return 1
}
