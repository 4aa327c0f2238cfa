# shellcheck shell=bash
# Waits and fill-file checks shared by the shell suites; sourced. Needs HEADER and fail() from the suite.

poll() { # poll SECONDS COMMAND...: true as soon as COMMAND succeeds, false after SECONDS
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

menu_open() { # menu_open PID: one of the program's menus is on the screen
    local w
    for w in $(xdotool search --all --onlyvisible --pid "$1" --name '' 2>/dev/null); do
        xprop -id "$w" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q '_MENU' && return 0
    done
    return 1
}

avail() { df --output=avail -B1 "$1" | tail -n1 | tr -d ' '; }

check_fill() { # check_fill FILE [LENGTH]: a fill file, whole blocks, header then 0xFF
    local file=$1 want=${2:-} size diff
    [[ -f $file ]] || fail "$file does not exist"
    size=$(stat -c %s "$file")
    [[ -z $want || $size == "$want" ]] || fail "$file is $size bytes, expected $want"
    ((size >= 1024 && size % 1024 == 0)) || fail "$file is $size bytes, not whole 1024-byte blocks"
    if ! diff=$(cmp <(
        printf '%s' "$HEADER"
        head -c $((size - ${#HEADER})) /dev/zero | tr '\0' '\377'
    ) "$file" 2>&1); then
        fail "$file content is wrong: $diff"
    fi
}
