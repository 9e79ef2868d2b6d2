# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the scripts that need a WAVE file to open beside a POS file.

le32() { # a number as 4 little-endian bytes
    printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $(($1 >> 8 & 255)))"
    printf "\\$(printf %03o $(($1 >> 16 & 255)))\\$(printf %03o $(($1 >> 24 & 255)))"
}

# Usage: square_wave FILE — writes 102,400 stereo 16-bit frames at 44,100 Hz
# of a square wave (50 frames at +16000, 50 at -16000) into FILE, using
# "$work" for its pieces.
square_wave() {
    high=$(printf '\200\076\200\076'); low=$(printf '\200\301\200\301')
    : >"$work/period"
    for _ in $(seq 1 50); do printf '%s' "$high" >>"$work/period"; done
    for _ in $(seq 1 50); do printf '%s' "$low" >>"$work/period"; done
    cp "$work/period" "$work/data"
    for _ in $(seq 1 10); do cat "$work/data" "$work/data" >"$work/twice" && mv "$work/twice" "$work/data"; done
    bytes=$(wc -c <"$work/data")
    {
        printf 'RIFF'; le32 $((36 + bytes)); printf 'WAVEfmt '; le32 16
        printf '\001\000\002\000'; le32 44100; le32 176400; printf '\004\000\020\000'
        printf 'data'; le32 "$bytes"; cat "$work/data"
    } >"$1"
}
