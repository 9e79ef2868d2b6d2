# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the test scripts before they start anything that runs Qt: the
# file dialog keeps its state in $XDG_CONFIG_HOME/QtProject.conf, fontconfig
# caches in $XDG_CACHE_HOME, so HOME and the XDG folders go into a scratch
# folder the script owns and removes.
# Usage: private_home SCRATCH_DIR
private_home() {
    mkdir -p "$1/home" "$1/config" "$1/data" "$1/cache" "$1/runtime"
    chmod 700 "$1/runtime"
    HOME="$1/home"
    XDG_CONFIG_HOME="$1/config"
    XDG_DATA_HOME="$1/data"
    XDG_CACHE_HOME="$1/cache"
    XDG_RUNTIME_DIR="$1/runtime"
    export HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_RUNTIME_DIR
}

# Sets `work` to a new scratch folder, removed when the script exits, and
# moves HOME and the XDG folders into it.
# Usage: private_scratch
private_scratch() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    private_home "$work/env"
}
