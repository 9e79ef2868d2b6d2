#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a source file includes from a higher layer, or includes a
# project header without naming its folder. The layers, lowest first:
#   core < audio, platform, dialogs < editor, cli < sound < views < app
# A folder may include its own headers and those of any lower layer; folders
# of one layer do not include each other.
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
report=$(printf '%s\n%s' "$report" "$by_name" | sed '/^$/d')

[ -z "$report" ] && exit 0
echo "$report" >&2
exit 1
