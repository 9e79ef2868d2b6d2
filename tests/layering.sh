#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a source file includes from a higher layer, or includes a
# project header without naming its folder. The layers, lowest first:
#   core < audio, platform, dialogs < editor, cli < sound < views < app
# A folder may include its own headers and those of any lower layer; folders
# of one layer do not include each other.
# Inside audio/ the files sit in rooms, and a room includes only its own
# headers and those of the rooms it builds on:
#   reading  audio_reader, audio_files, in_place, sample_bytes, frames, fft,
#            autocorrelation, loop_interchange, loop_stream: the files,
#            their frames and the sums over them
#   judge    seam_judge, seam_measure, crossfade: the verdict on one seam,
#            on reading
#   finders  loop_finder and its steps (exact_*), musical_loops,
#            loop_search: the searches, on the judge and reading
#   peaks    peaks, peak_scan, zero_crossing: what the waveform view draws
#            and snaps to, on reading only
# so the judge knows no search, and a file in audio/ that is in no room fails.
# Also fails when a view or the sound module looks up one of the editor's
# controls by its object name: the window's typed members are the one way in.
set -u
cd "${1:-$(dirname "$0")/..}" || exit 2

layer() {
    case "$1" in
    core) echo 0 ;;
    audio | platform | dialogs) echo 1 ;;
    editor | cli) echo 2 ;;
    sound) echo 3 ;;
    views) echo 4 ;;
    app) echo 5 ;;
    *) echo "" ;;
    esac
}

room() {
    case "$1" in
    audio_reader | audio_files | in_place | sample_bytes | frames | fft | autocorrelation | \
        loop_interchange | loop_stream)
        echo reading
        ;;
    seam_judge | seam_measure | crossfade) echo judge ;;
    loop_finder | exact_finder_steps | exact_copies | exact_coarse_lags | exact_lags | \
        exact_follower | exact_ranking | musical_loops | loop_search)
        echo finders
        ;;
    peaks | peak_scan | zero_crossing) echo peaks ;;
    *) echo "" ;;
    esac
}

# The rooms a room may include from, its own among them.
builds_on() {
    case "$1" in
    reading) echo "reading" ;;
    judge) echo "reading judge" ;;
    finders) echo "reading judge finders" ;;
    peaks) echo "reading peaks" ;;
    esac
}

rooms=$(
for file in audio/*.h audio/*.cpp; do
    [ -e "$file" ] || continue
    name=${file#audio/}
    name=${name%.*}
    own=$(room "$name")
    if [ -z "$own" ]; then
        echo "$file: is in no room of audio/; name its room in tests/layering.sh"
        continue
    fi
    grep -n '^#include "audio/' "$file" | while IFS= read -r line; do
        included=${line#*\"audio/}
        included=${included%%.*}
        theirs=$(room "$included")
        case " $(builds_on "$own") " in
        *" $theirs "*) ;;
        *) echo "$file:${line%%:*}: the $own room includes audio/$included.h from the ${theirs:-unknown} room" ;;
        esac
    done
done
)

report=$(
for folder in core audio platform dialogs editor cli sound views app; do
    own=$(layer "$folder")
    for file in "$folder"/*.h "$folder"/*.cpp; do
        [ -e "$file" ] || continue
        grep -n '^#include "' "$file" | while IFS= read -r line; do
            included=${line#*\"}
            included=${included%\"*}
            case "$included" in
            */*) ;;
            *)
                echo "$file:${line%%:*}: \"$included\" does not name its folder"
                continue
                ;;
            esac
            target=${included%%/*}
            theirs=$(layer "$target")
            if [ -z "$theirs" ]; then
                echo "$file:${line%%:*}: \"$included\" is outside the libraries"
            elif [ "$target" != "$folder" ] && [ "$theirs" -ge "$own" ]; then
                echo "$file:${line%%:*}: $folder includes $included from a layer not below it"
            fi
        done
    done
done
)
# A control found by name turns a rename into a null pointer at run time
# rather than a compile error; what a view needs belongs on EditorWindow.
by_name=$(grep -nE 'findChild(ren)?<[^>]*>\((QStringLiteral\(|QLatin1String\(|u?")' \
    views/*.h views/*.cpp sound/*.h sound/*.cpp 2>/dev/null |
    sed 's/^\([^:]*:[0-9]*\):.*/\1: finds a control by its name, which a rename turns into a null pointer; reach it through EditorWindow'"'"'s typed members or the view that owns it/')
report=$(printf '%s\n%s\n%s' "$report" "$rooms" "$by_name" | sed '/^$/d')

[ -z "$report" ] && exit 0
echo "$report" >&2
exit 1
