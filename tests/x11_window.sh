# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the scripts that drive the editor under a virtual X server.
# Every wait is for an event, bounded generously: a busy machine is slow, not
# wrong.

# Usage: with_x "SCREEN [XVFB_OPTION...]" COMMAND [ARG...] — runs COMMAND
# with DISPLAY set to a private Xvfb, e.g. with_x "800x600x24 -dpi 96" sh -c
# '...'. The server picks a free display itself and says which (-displayfd),
# so runs started together cannot take the same one. Returns COMMAND's status.
with_x() {
    x_screen=$1
    shift
    x_dir=$(mktemp -d)
    x_tries=0
    until start_x_server; do
        x_tries=$((x_tries + 1))
        if [ "$x_tries" -ge 3 ]; then
            rm -rf "$x_dir"
            return 1
        fi
    done
    x_status=0
    # A subshell, so that COMMAND may be a shell function and DISPLAY is
    # gone again afterwards.
    (
        DISPLAY=":$x_number"
        export DISPLAY
        "$@"
    ) || x_status=$?
    if [ "$x_status" -ne 0 ] && [ -s "$x_dir/log" ]; then
        echo "Xvfb on :$x_number said:" >&2
        cat "$x_dir/log" >&2
    fi
    stop_x_server
    rm -rf "$x_dir"
    return "$x_status"
}

# Starts Xvfb for with_x and waits until it answers; sets x_pid and x_number.
start_x_server() {
    rm -f "$x_dir/display"
    mkfifo "$x_dir/display"
    # The screen and its options are several words on purpose. Without
    # -noreset the server starts afresh whenever its last client leaves, and
    # refuses whoever connects meanwhile: a probe or a window search ending
    # just as the editor starts would make the editor fail.
    # shellcheck disable=SC2086
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 $x_screen \
        3>"$x_dir/display" >"$x_dir/log" 2>&1 &
    x_pid=$!
    # Blocks until the server is ready, or gives nothing when it exits.
    x_number=
    read -r x_number <"$x_dir/display" || true
    if [ -n "$x_number" ] &&
        wait_until 60 env DISPLAY=":$x_number" xdotool getdisplaygeometry >/dev/null 2>&1; then
        return 0
    fi
    echo "Xvfb did not start${x_number:+ on :$x_number}:" >&2
    cat "$x_dir/log" >&2
    stop_x_server
    return 1
}

stop_x_server() {
    kill "$x_pid" 2>/dev/null || true
    wait "$x_pid" 2>/dev/null || true
}

# Usage: wait_until SECONDS COMMAND [ARG...] — runs COMMAND until it
# succeeds; fails when it has not after SECONDS.
wait_until() {
    w_end=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$w_end" ] || return 1
        sleep 0.05
    done
}

# Usage: wait_for_window NAME — prints the id of the first visible window
# named NAME once it exists; fails after 60 s.
wait_for_window() {
    if wait_until 60 xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; then
        xdotool search --onlyvisible --name "$1" | head -n1
        return 0
    fi
    echo "window \"$1\" did not appear within 60 s" >&2
    return 1
}

# Usage: wait_for_no_window NAME — returns once no visible window is named
# NAME; fails after 60 s.
wait_for_no_window() {
    wait_until 60 sh -c '! xdotool search --onlyvisible --name "$1" >/dev/null 2>&1' sh "$1" ||
        { echo "window \"$1\" did not close within 60 s" >&2; return 1; }
}

# Usage: wait_for_keys FILE — presses Ctrl+S (Save) until FILE is written
# again, which shows that the focused window takes keys: Qt drops those that
# come before it has made a window active. Fails after 60 s.
wait_for_keys() {
    k_before=$(stat -c %y "$1")
    k_end=$(($(date +%s) + 60))
    while [ "$(stat -c %y "$1")" = "$k_before" ]; do
        if [ "$(date +%s)" -ge "$k_end" ]; then
            echo "the window took no keys within 60 s" >&2
            return 1
        fi
        xdotool key ctrl+s
        wait_until 1 sh -c '[ "$(stat -c %y "$1")" != "$2" ]' sh "$1" "$k_before" || true
    done
}

# Usage: wait_for_change FILE COPY — returns once FILE differs from COPY;
# fails after 60 s.
wait_for_change() {
    wait_until 60 sh -c '! cmp -s "$1" "$2"' sh "$1" "$2" ||
        { echo "$1 did not change within 60 s" >&2; return 1; }
}

# Usage: start_openbox LOG — starts openbox (pid in wm_pid, output in LOG)
# and returns once it manages windows: it names its check window at once but
# loads its theme last, and a window mapped between the two now and then
# never showed (one start in forty).
start_openbox() {
    openbox >"$1" 2>&1 &
    wm_pid=$!
    wait_until 60 sh -c 'xprop -root _OB_THEME | grep -q ='
}
