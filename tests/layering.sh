#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a source file includes from a higher layer, or includes a
# project header without naming its folder. The layers, lowest first:
#   core < audio, platform, dialogs < editor, cli < sound < views < app
# A folder may include its own headers and those of any lower layer; folders
# of one layer do not include each other.
# audio/ is a folder per room, each a library (audio/CMakeLists.txt), and a
# room includes only its own headers and those of the rooms it builds on:
#   peaks    what the waveform draws and snaps to, knowing no files
#   read     the files and their frames, on peaks
#   dsp      transforms and sums over plain arrays
#   judge    the verdict on one seam, on read and dsp
#   exact    the exact finder and its steps, on judge
#   musical  the musical finder, on judge
#   render   interchange, crossfade and loop stream, on judge and read
#   search   the one search over both finders, on exact and musical
# so the judge knows no finder, and a file of audio/ in no room fails.
# Also fails when a view or the sound module looks up one of the editor's
# controls by its object name: the window's typed members are the one way in.
set -u
cd "${1:-$(dirname "$0")/..}" || exit 2

# One grep over every source, one awk over its lines: a shell loop per line
# took seconds. Files of audio/ are listed too, so a file with no include
# still has its room checked.
report=$({
    for file in audio/*.h audio/*.cpp audio/*/*.h audio/*/*.cpp; do
        [ -e "$file" ] && echo "$file:0:"
    done
    grep -Hn '^#include "' core/*.h core/*.cpp audio/*/*.h audio/*/*.cpp platform/*.h \
        platform/*.cpp dialogs/*.h dialogs/*.cpp editor/*.h editor/*.cpp cli/*.h cli/*.cpp \
        sound/*.h sound/*.cpp views/*.h views/*.cpp app/*.h app/*.cpp 2>/dev/null
} | awk -F: '
BEGIN {
    split("core:0 audio:1 platform:1 dialogs:1 editor:2 cli:2 sound:3 views:4 app:5", pairs, " ")
    for (i in pairs) { split(pairs[i], kv, ":"); layer[kv[1]] = kv[2] }
    # The rooms each room may include from, its own among them.
    on["peaks"] = "peaks"
    on["read"] = "read peaks"
    on["dsp"] = "dsp"
    on["judge"] = "judge read peaks dsp"
    on["exact"] = "exact judge read peaks dsp"
    on["musical"] = "musical judge read peaks dsp"
    on["render"] = "render judge read peaks"
    on["search"] = "search exact musical judge read peaks"
}
{
    file = $1; at = file ":" $2
    split(file, path, "/"); folder = path[1]
    if ($2 == 0) {
        if (folder == "audio" && (path[3] == "" || !((path[2]) in on)))
            print file ": is in no room of audio/; give it a room folder listed in tests/layering.sh"
        next
    }
    included = $0; sub(/^[^"]*"/, "", included); sub(/".*/, "", included)
    if (included !~ /\//) { print at ": \"" included "\" does not name its folder"; next }
    split(included, theirs, "/"); target = theirs[1]
    if (!(target in layer)) { print at ": \"" included "\" is outside the libraries"; next }
    if (target != folder && layer[target] >= layer[folder])
        print at ": " folder " includes " included " from a layer not below it"
    if (folder == "audio" && target == "audio" && ((path[2]) in on) &&
        index(" " on[path[2]] " ", " " theirs[2] " ") == 0)
        print at ": the " path[2] " room includes " included " from a room it does not build on"
}')

# A control found by name turns a rename into a null pointer at run time
# rather than a compile error; what a view needs belongs on EditorWindow.
by_name=$(grep -nE 'findChild(ren)?<[^>]*>\((QStringLiteral\(|QLatin1String\(|u?")' \
    views/*.h views/*.cpp sound/*.h sound/*.cpp 2>/dev/null |
    sed 's/^\([^:]*:[0-9]*\):.*/\1: finds a control by its name, which a rename turns into a null pointer; reach it through EditorWindow'"'"'s typed members or the view that owns it/')
report=$(printf '%s\n%s' "$report" "$by_name" | sed '/^$/d')

[ -z "$report" ] && exit 0
echo "$report" >&2
exit 1
