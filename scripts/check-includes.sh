#!/usr/bin/env bash
# The rules of the four rooms under src/ (docs/architecture.md), checked on the source:
#   platform/ includes nothing of core/, ui/ or cli/;
#   core/ includes platform/ only, and no operating-system header;
#   ui/ and cli/ never include each other;
#   only ui/ (and main.cpp, which starts the window) includes Qt Widgets;
#   Japanese text only in ui/; option names ("--name") only in cli/;
#   no source file over 700 lines, no function over 100 (Universal Ctags' end: field).
# Exits 1 naming each file and line that breaks a rule. SRC: the folder to check (default src).
set -uo pipefail
cd "$(dirname "$0")/.."
src=${1:-src}
failed=0

fail() {
    echo "check-includes: $*" >&2
    failed=1
}

# Lines of files under room that match the extended regular expression, as file:line:text.
matching() {
    local room=$1 pattern=$2
    [[ -d "$src/$room" ]] || return 0
    grep -rnE --include='*.cpp' --include='*.h' -- "$pattern" "$src/$room" || true
}

# Fails with what for each line under room that matches pattern.
forbid() {
    local room=$1 pattern=$2 what=$3 hit
    while IFS= read -r hit; do
        [[ -n "$hit" ]] && fail "$what: $hit"
    done < <(matching "$room" "$pattern")
}

include='^[[:space:]]*#[[:space:]]*include[[:space:]]*'
os_headers='unistd\.h|fcntl\.h|windows\.h|winioctl\.h|sys/[^>]*|linux/[^>]*|dirent\.h|poll\.h|pthread\.h|sched\.h|spawn\.h|signal\.h|termios\.h|pwd\.h|grp\.h'
forbid platform "$include\"(core|ui|cli)/" "platform includes another room"
forbid core "$include\"(ui|cli)/" "core includes a room other than platform"
forbid core "$include<($os_headers)>" "core includes an operating-system header"
forbid ui "$include\"cli/" "ui includes cli"
forbid cli "$include\"ui/" "cli includes ui"

# A Qt header outside ui/ must be one of Qt Core's.
qt_headers=$( (qmake6 -query QT_INSTALL_HEADERS || qtpaths6 --query QT_INSTALL_HEADERS) 2>/dev/null | head -n 1)
[[ -d "$qt_headers/QtCore" ]] || qt_headers=/usr/include/x86_64-linux-gnu/qt6
if [[ -d "$qt_headers/QtCore" ]]; then
    for room in core platform cli; do
        while IFS= read -r hit; do
            [[ -z "$hit" ]] && continue
            header=$(sed -E 's/.*#[[:space:]]*include[[:space:]]*<([^>]*)>.*/\1/' <<<"$hit")
            header=${header#QtCore/}
            [[ -e "$qt_headers/QtCore/$header" ]] || fail "$room includes a Qt header not of Qt Core: $hit"
        done < <(matching "$room" '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q')
    done
else
    fail "Qt's headers were not found: the Qt Widgets rule cannot be checked"
fi

# Hiragana, katakana (full and half width) and CJK ideographs; full-width digits and signs are not text.
for room in core platform cli; do
    [[ -d "$src/$room" ]] || continue
    while IFS= read -r hit; do
        [[ -n "$hit" ]] && fail "Japanese text outside ui: $hit"
    done < <(grep -rnP --include='*.cpp' --include='*.h' '[\x{3040}-\x{30ff}\x{4e00}-\x{9fff}\x{ff66}-\x{ff9f}]' \
        "$src/$room" || true)
done

for room in core platform ui; do
    forbid "$room" '"--[a-z]' "an option name outside cli"
done

while IFS= read -r file; do
    lines=$(wc -l <"$file")
    ((lines > 700)) && fail "$file has $lines lines (at most 700)"
done < <(find "$src" -name '*.cpp' -o -name '*.h')

if command -v ctags >/dev/null; then
    while IFS=$'\t' read -r name file start end; do
        ((end - start + 1 > 100)) && fail "$file:$start: $name has $((end - start + 1)) lines (at most 100)"
    done < <(find "$src" -name '*.cpp' -o -name '*.h' | sort |
        ctags --languages=C++ --kinds-C++=f --fields=+ne -L - -f - 2>/dev/null |
        awk -F'\t' '{ s = e = ""; for (i = 4; i <= NF; i++) { if ($i ~ /^line:/) s = substr($i, 6); if ($i ~ /^end:/) e = substr($i, 5) }
                      if (s != "" && e != "") print $1 "\t" $2 "\t" s "\t" e }')
else
    fail "ctags (Universal Ctags) is not installed: function lengths cannot be checked"
fi

((failed == 0)) && echo "check-includes: the rooms keep their rules"
exit "$failed"
