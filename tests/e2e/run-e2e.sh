#!/usr/bin/env bash
# End-to-end suite: drives the real TALLOWMR window under Xvfb + openbox with real X11 input
# (xdotool), the way a person would, and checks what lands on disk and in the settings file.
#
#   run-e2e.sh /path/to/TALLOWMR /path/to/e2e_facts
#
# TALLOWMERE_E2E_ONLY (scenario names, space-separated) runs only those, TALLOWMERE_E2E_REPEAT times
# each (default 1): the way to chase a scenario that fails now and then.
#
# Every scenario gets its own tmpfs volume and its own settings folder; nothing is written outside
# temporary folders under /tmp (and, on failure, a screenshot and the program's log under
# $TALLOWMERE_E2E_ARTIFACTS, default ./e2e-artifacts). Mounts tmpfs volumes: as root, or as an ordinary
# user inside a user and mount namespace of its own; exits 77 (skipped) when neither is possible or
# one of the X tools is missing.
set -euo pipefail

readonly SKIP_CODE=77
readonly TIMEOUT=30 # seconds for every wait on the program

skip() {
    echo "SKIP: $*"
    exit "$SKIP_CODE"
}

if [[ $# -ne 2 || ! -x $1 || ! -x $2 ]]; then
    echo "usage: $0 /path/to/TALLOWMR /path/to/e2e_facts" >&2
    exit 2
fi
BIN=$(readlink -f "$1")
readonly BIN

if [[ $(id -u) -ne 0 ]]; then
    # An ordinary user is root of namespaces of its own, where it may mount tmpfs volumes.
    if [[ -z ${TALLOWMERE_E2E_IN_NAMESPACE:-} ]] && unshare --user --map-root-user --mount true 2>/dev/null; then
        TALLOWMERE_E2E_IN_NAMESPACE=1 exec unshare --user --map-root-user --mount bash "$0" "$@"
    fi
    skip "needs root, or user namespaces, to mount tmpfs volumes"
fi

# The header of every fill file, and the centres of the controls in twips below the menu bar, as
# the program's sources have them (browseButton is "browse", pathEdit "path", and so on).
HEADER=
declare -A CONTROL=()
while read -r what rest; do
    case $what in
    header) HEADER=$rest ;;
    control)
        read -r name x y <<<"$rest"
        name=${name%Button}
        CONTROL[${name%Edit}]="$x $y"
        ;;
    esac
done < <("$2")
readonly HEADER
[[ -n $HEADER && -n ${CONTROL[start]:-} ]] || {
    echo "$2 told nothing" >&2
    exit 2
}
for tool in Xvfb xdpyinfo xdotool openbox wmctrl xwininfo xprop; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (Debian: xvfb xdotool openbox wmctrl x11-utils)"
done

ONLY=${TALLOWMERE_E2E_ONLY:-}
REPEAT=${TALLOWMERE_E2E_REPEAT:-1}
[[ $REPEAT =~ ^[1-9][0-9]*$ ]] || {
    echo "TALLOWMERE_E2E_REPEAT must be a whole number of at least 1" >&2
    exit 2
}
ARTIFACTS=${TALLOWMERE_E2E_ARTIFACTS:-$PWD/e2e-artifacts}
mkdir -p "$ARTIFACTS"
rm -f "$ARTIFACTS"/e2e-*.png "$ARTIFACTS"/e2e-*.log

SUITE=$(mktemp -d /tmp/tallowmere-e2e.XXXXXX)
CASE_DIR=
CASE_PID=

# ---------------------------------------------------------------------------------------------
# Cleanup. Each case folder lists the programs it started and the volumes it mounted, so the
# same routine serves a finished case and an interrupted suite.

# shellcheck source=tests/e2e/suitelib.sh
source "$(dirname "$0")/suitelib.sh"
# shellcheck source=scripts/lib/display.sh
source "$(dirname "$0")/../../scripts/lib/display.sh"

alive() { [[ -e /proc/$1 && $(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) != Z ]]; }
exited() { ! alive "$1"; }

kill_pid() { # kill_pid PID [PROGRAM]: stops PID if it still runs PROGRAM (default the one tested)
    local pid=$1 program=${2:-$BIN}
    alive "$pid" || return 0
    # Only ever a program this suite started: the pid may have been reused since.
    [[ $(readlink -f "/proc/$pid/exe" 2>/dev/null) == "$program" ]] || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    poll 10 exited "$pid" && return 0
    kill -KILL "$pid" 2>/dev/null || true
    poll 10 exited "$pid" || true
}

cleanup_case() {
    local dir=$1 pid vol
    [[ -n $dir && -d $dir ]] || return 0
    if [[ -f $dir/pids ]]; then
        while read -r pid; do kill_pid "$pid"; done <"$dir/pids"
    fi
    if [[ -f $dir/mounts ]]; then
        while read -r vol; do
            if mountpoint -q "$vol"; then
                umount "$vol" 2>/dev/null || umount -l "$vol" || true
            fi
        done <"$dir/mounts"
    fi
    rm -rf --one-file-system "$dir"
}

cleanup_all() {
    local rc=$?
    trap - EXIT INT TERM
    if [[ -n $CASE_PID ]]; then
        kill -TERM "$CASE_PID" 2>/dev/null || true
        wait "$CASE_PID" 2>/dev/null || true
    fi
    cleanup_case "$CASE_DIR"
    rm -rf --one-file-system "$SUITE"
    exit "$rc"
}
trap cleanup_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A container without CAP_SYS_ADMIN is root in name only.
probe=$(mktemp -d /tmp/tallowmere-e2e-probe.XXXXXX)
if ! mount -t tmpfs -o size=1m tallowmere-e2e "$probe" 2>/dev/null; then
    rmdir "$probe"
    skip "cannot mount a tmpfs here"
fi
umount "$probe"
rmdir "$probe"

# ---------------------------------------------------------------------------------------------
# X server and window manager.

# The X server and the window manager stop before cleanup_all runs.
display_start -screen 0 1280x1024x24 -dpi 96 || exit 1

# Fixed, clean environment for everything started on the display: nothing from the caller's
# session (Qt platform or scaling variables, session manager, D-Bus) leaks in.
clean_env() { # clean_env HOME COMMAND...: run in the background; the pid stays the command's
    local home=$1
    shift
    exec env -i PATH="$PATH" LANG=C.UTF-8 DISPLAY="$DISPLAY" HOME="$home" \
        XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" XDG_DATA_HOME="$home/data" \
        XDG_RUNTIME_DIR="$home/runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$home/runtime/no-bus" \
        "$@"
}

# A window mapped before the window manager takes over is not framed until it does: wait for it.
display_wm_start || exit 1

# ---------------------------------------------------------------------------------------------
# Helpers used inside a scenario (each scenario runs in its own subshell with CASE set).
# xdotool search matches any one of its conditions unless told --all.

fail() {
    echo "$*" >"$CASE/reason"
    exit 1
}

new_volume() { # new_volume SIZE: mounts a fresh tmpfs at $VOL
    VOL=$CASE/vol
    mkdir -p "$VOL"
    mount -t tmpfs -o "size=$1,mode=0755" tallowmere-e2e "$VOL"
    echo "$VOL" >>"$CASE/mounts"
}

new_home() { # new_home NAME: a fresh settings folder at $HOME_DIR, INI path at $INI
    HOME_DIR=$CASE/$1
    mkdir -p "$HOME_DIR/config" "$HOME_DIR/runtime"
    chmod 700 "$HOME_DIR/runtime"
    INI=$HOME_DIR/config/Tallowmere/Tallowmere.conf
}

declare -A WIN_OF MENU_OF

main_window() { # main_window PID: prints the visible 441-pixel-wide window named Tallowmere
    local w width
    for w in $(xdotool search --all --onlyvisible --pid "$1" --name '^Tallowmere$' 2>/dev/null); do
        width=$(xwininfo -id "$w" 2>/dev/null | awk '/^ *Width:/ {print $2}')
        if [[ $width == 441 ]]; then
            echo "$w"
            return 0
        fi
    done
    return 1
}

has_main_window() { main_window "$1" >/dev/null; }

start_app() { # start_app HOME_DIR: starts the program, sets APP to its pid once its window is up
    local home=$1 win height
    APPS_STARTED=$((${APPS_STARTED:-0} + 1))
    clean_env "$home" QT_QPA_PLATFORM=xcb "$BIN" >"$CASE/app-$APPS_STARTED.log" 2>&1 &
    APP=$!
    echo "$APP" >>"$CASE/pids"
    poll "$TIMEOUT" has_main_window "$APP" || fail "no 441-pixel-wide Tallowmere window within ${TIMEOUT}s"
    win=$(main_window "$APP")
    height=$(xwininfo -id "$win" | awk '/^ *Height:/ {print $2}')
    WIN_OF[$APP]=$win
    # The client area is 130 pixels high; the rest of the window is the menu bar.
    MENU_OF[$APP]=$((height - 130))
    ((MENU_OF[$APP] > 0 && MENU_OF[$APP] < 80)) || fail "window height $height leaves no room for a menu bar"
}

is_active() { [[ $(xdotool getactivewindow 2>/dev/null) == "$1" ]]; }

activate() { # activate WINDOW: raise and focus it so clicks and keys reach it
    is_active "$1" && return 0
    xdotool windowactivate "$1" 2>/dev/null || true
    poll "$TIMEOUT" is_active "$1" || fail "window $1 never became active"
}

click() { # click PID CONTROL
    local pid=$1 win=${WIN_OF[$1]} tx ty
    read -r tx ty <<<"${CONTROL[$2]}"
    activate "$win"
    xdotool mousemove --window "$win" $((tx / 15)) $((MENU_OF[$pid] + ty / 15)) click 1
}

type_into() { # type_into PID CONTROL TEXT: replaces the box's text with TEXT
    click "$1" "$2"
    xdotool key ctrl+a BackSpace
    if [[ -n $3 ]]; then
        xdotool type -- "$3"
    fi
}

dialogs() { # dialogs PID: the program's visible message boxes
    local w
    for w in $(xdotool search --all --onlyvisible --pid "$1" --name '^Tallowmere$' 2>/dev/null); do
        [[ $w == "${WIN_OF[$1]}" ]] || echo "$w"
    done
}

has_dialog() { [[ -n $(dialogs "$1") ]]; }
no_dialog() { [[ -z $(dialogs "$1") ]]; }

wait_dialog() { # wait_dialog PID: sets DIALOG once a message box is up
    poll "$TIMEOUT" has_dialog "$1" || fail "expected a message box, none appeared"
    DIALOG=$(dialogs "$1")
    [[ $DIALOG != *$'\n'* ]] || fail "more than one message box is open"
}

answer() { # answer PID KEY...: answers the open message box from the keyboard
    local pid=$1
    shift
    wait_dialog "$pid"
    activate "$DIALOG"
    xdotool key "$@"
    poll "$TIMEOUT" no_dialog "$pid" || fail "message box still open after keys: $*"
}

expect_no_dialog() { # expect_no_dialog PID WHEN
    no_dialog "$1" || fail "unexpected message box $2"
}

holds_open() { # holds_open PID FILE: the program has FILE open (a run is writing it)
    local fd
    for fd in /proc/"$1"/fd/*; do
        [[ $(readlink "$fd" 2>/dev/null) == "$2" ]] && return 0
    done
    return 1
}

done_writing() { ! holds_open "$@"; }

stamp() { stat -c '%i %s %y' "$1" 2>/dev/null || echo missing; }

run_done() { # run_done PID FILE STAMP: FILE changed since STAMP and is no longer open
    [[ -e $2 && $(stamp "$2") != "$3" ]] && ! holds_open "$1" "$2"
}

wait_run() { # wait_run PID FILE STAMP: waits for a run started after STAMP was taken to end
    poll "$TIMEOUT" run_done "$@" || fail "run on $2 did not end within ${TIMEOUT}s (now $(stamp "$2"))"
}

writing() { # writing PID FILE: a run is in progress and past its header block
    holds_open "$1" "$2" && (($(stat -c %s "$2" 2>/dev/null || echo 0) > 1024))
}

wait_writing() {
    poll "$TIMEOUT" writing "$@" || fail "no run in progress on $2"
}

wait_exit() { # wait_exit PID: the program ends within the timeout with exit code 0
    local rc=0
    poll "$TIMEOUT" exited "$1" ||
        fail "program $1 still running ${TIMEOUT}s after being closed"
    wait "$1" || rc=$?
    ((rc == 0)) || fail "program exited with code $rc"
}

gone() { [[ ! -e $1 ]]; }

ini_value() { # ini_value KEY: the key's value in [Tallowmere], surrounding quotes removed
    local value
    value=$(sed -n '/^\[Tallowmere\]/,/^\[/p' "$INI" 2>/dev/null | sed -n "s/^$1=//p" | head -n1)
    value=${value%$'\r'}
    if [[ $value == \"*\" ]]; then
        value=${value#\"}
        value=${value%\"}
    fi
    printf '%s' "$value"
}

expect_ini() { # expect_ini OUTFILE SIZE SIZESCALE
    [[ -f $INI ]] || fail "settings file $INI was not written"
    local key want got
    for key in OUTFILE SIZE SIZESCALE; do
        case $key in
        OUTFILE) want=$1 ;;
        SIZE) want=$2 ;;
        SIZESCALE) want=$3 ;;
        esac
        grep -q "^$key=" "$INI" || fail "settings file has no $key"
        got=$(ini_value "$key")
        [[ $got == "$want" ]] || fail "settings $key is '$got', expected '$want'"
    done
}

# ---------------------------------------------------------------------------------------------
# Scenarios.

# A fixed 3 MB fill, then Exit; shared by the restart scenario.
fill_three_megabytes() { # fill_three_megabytes FILE
    local file=$1
    start_app "$HOME_DIR"
    type_into "$APP" path "$file"
    type_into "$APP" size 3
    click "$APP" mb
    click "$APP" start
    wait_run "$APP" "$file" missing
    check_fill "$file" 3145728
    expect_no_dialog "$APP" "after a 3 MB run"
    # Written at Start.
    expect_ini "$file" 3 1
}

scenario_fixed_size() {
    new_volume 64m
    new_home home
    local file=$VOL/fill.bin
    fill_three_megabytes "$file"
    # Written again when the window closes.
    rm "$INI"
    click "$APP" exit
    wait_exit "$APP"
    expect_ini "$file" 3 1
    check_fill "$file" 3145728
}

scenario_fill_disk() {
    new_volume 8m
    new_home home
    local file=$VOL/full.bin size before
    start_app "$HOME_DIR"
    type_into "$APP" path "$file"
    # No size, a size of 0, and more than the volume holds all fill it to the last block.
    for size in "" 0 100; do
        before=$(stamp "$file")
        type_into "$APP" size "$size"
        if [[ $size == 100 ]]; then click "$APP" mb; else click "$APP" kb; fi
        click "$APP" start
        [[ $before == missing ]] || answer "$APP" Return
        wait_run "$APP" "$file" "$before"
        (($(avail "$VOL") < 1024)) || fail "size '$size': $(avail "$VOL") bytes still free on the volume"
        check_fill "$file"
        expect_no_dialog "$APP" "after filling the disk with size '$size'"
    done
    click "$APP" exit
    wait_exit "$APP"
    expect_ini "$file" 100 1
}

scenario_stop() {
    new_volume 4g
    new_home home
    local file=$VOL/stop.bin total size before
    total=$(df --output=size -B1 "$VOL" | tail -n1 | tr -d ' ')
    start_app "$HOME_DIR"
    type_into "$APP" path "$file"
    type_into "$APP" size ""
    click "$APP" start
    wait_writing "$APP" "$file"
    click "$APP" stop
    poll "$TIMEOUT" done_writing "$APP" "$file" ||
        fail "run still writing ${TIMEOUT}s after Stop"
    alive "$APP" || fail "program ended after Stop"
    has_main_window "$APP" || fail "main window gone after Stop"
    size=$(stat -c %s "$file")
    ((size < total)) || fail "file is $size bytes: the run filled the $total-byte volume despite Stop"
    (($(avail "$VOL") >= 1048576)) || fail "only $(avail "$VOL") bytes free after Stop"
    check_fill "$file"
    expect_no_dialog "$APP" "after Stop"

    # The window is idle again: a second run, over the stopped file, works.
    type_into "$APP" size 1
    click "$APP" mb
    before=$(stamp "$file")
    click "$APP" start
    answer "$APP" Return
    wait_run "$APP" "$file" "$before"
    check_fill "$file" 1048576
    expect_no_dialog "$APP" "after the second run"
    click "$APP" exit
    wait_exit "$APP"
    expect_ini "$file" 1 1
}

scenario_delete() {
    new_volume 16m
    new_home home
    local file=$VOL/delete.bin sum
    start_app "$HOME_DIR"
    type_into "$APP" path "$file"
    type_into "$APP" size 2
    click "$APP" kb
    click "$APP" start
    wait_run "$APP" "$file" missing
    check_fill "$file" 2048
    sum=$(sha256sum <"$file")

    # No (Tab moves from the default Yes to No) keeps the file.
    click "$APP" delete
    answer "$APP" Tab Return
    # Start asks to overwrite only if the file is still there; it also proves the Delete
    # handler has finished.
    click "$APP" start
    answer "$APP" alt+n
    [[ $(sha256sum <"$file") == "$sum" ]] || fail "file changed after answering No"

    # Yes (the default, Enter) deletes it.
    click "$APP" delete
    answer "$APP" Return
    poll "$TIMEOUT" gone "$file" || fail "file still there after answering Yes"
    expect_no_dialog "$APP" "after deleting"
    click "$APP" exit
    wait_exit "$APP"
}

scenario_overwrite_no() {
    new_volume 16m
    new_home home
    local file=$VOL/existing.bin sum file_stamp ini_text ini_stamp
    head -c 5000 /dev/urandom >"$file"
    mkdir -p "$(dirname "$INI")"
    printf '[Tallowmere]\nOUTFILE=%s\nSIZE=7\nSIZESCALE=0\n' "$file" >"$INI"
    sum=$(sha256sum <"$file")
    file_stamp=$(stamp "$file")
    ini_text=$(cat "$INI")
    ini_stamp=$(stamp "$INI")

    start_app "$HOME_DIR"
    type_into "$APP" size 9
    click "$APP" mb
    click "$APP" start
    answer "$APP" alt+n
    # The Delete question can only come up once the Start handler has returned.
    click "$APP" delete
    wait_dialog "$APP"
    [[ $(sha256sum <"$file") == "$sum" && $(stamp "$file") == "$file_stamp" ]] ||
        fail "existing file was touched after answering No"
    [[ $(stamp "$INI") == "$ini_stamp" && $(cat "$INI") == "$ini_text" ]] ||
        fail "settings were written by a Start answered No"
    answer "$APP" Tab Return
    [[ -e $file ]] || fail "file deleted after answering No"

    click "$APP" exit
    wait_exit "$APP"
    # Closing saves what was typed, so the window really held the new values above.
    expect_ini "$file" 9 1
    [[ $(sha256sum <"$file") == "$sum" ]] || fail "existing file changed"
}

scenario_close_during_run() {
    new_volume 4g
    new_home home
    local file=$VOL/close.bin total size
    total=$(df --output=size -B1 "$VOL" | tail -n1 | tr -d ' ')
    start_app "$HOME_DIR"
    type_into "$APP" path "$file"
    type_into "$APP" size ""
    click "$APP" kb
    click "$APP" start
    wait_writing "$APP" "$file"
    # Start saved the settings already; only a save at close can bring them back.
    rm "$INI"
    wmctrl -i -c "$(printf '0x%x' "${WIN_OF[$APP]}")"
    wait_exit "$APP"
    size=$(stat -c %s "$file")
    ((size < total)) || fail "file is $size bytes: closing did not stop the run"
    (($(avail "$VOL") >= 1048576)) || fail "only $(avail "$VOL") bytes free: closing did not stop the run"
    check_fill "$file"
    expect_ini "$file" "" 0
}

scenario_restart_restores() {
    new_volume 64m
    new_home home
    local file=$VOL/restore.bin before
    fill_three_megabytes "$file"
    click "$APP" exit
    wait_exit "$APP"

    # Something else in its place: only the restored path, size and unit make it 3 MB again.
    printf 'old' >"$file"
    start_app "$HOME_DIR"
    before=$(stamp "$file")
    click "$APP" start
    answer "$APP" Return
    wait_run "$APP" "$file" "$before"
    check_fill "$file" 3145728
    expect_no_dialog "$APP" "after the run with restored settings"
    click "$APP" exit
    wait_exit "$APP"
    expect_ini "$file" 3 1
}

scenario_two_copies() {
    new_volume 1g
    new_home home
    local a b file_a=$VOL/a.bin file_b=$VOL/b.bin
    # Same user, same settings folder, one volume, two windows.
    start_app "$HOME_DIR"
    a=$APP
    start_app "$HOME_DIR"
    b=$APP
    type_into "$a" path "$file_a"
    type_into "$a" size 400
    click "$a" mb
    type_into "$b" path "$file_b"
    type_into "$b" size 500
    click "$b" mb
    click "$a" start
    click "$b" start
    wait_run "$a" "$file_a" missing
    wait_run "$b" "$file_b" missing
    check_fill "$file_a" $((400 * 1048576))
    check_fill "$file_b" $((500 * 1048576))
    expect_no_dialog "$a" "in the first copy"
    expect_no_dialog "$b" "in the second copy"
    click "$a" exit
    wait_exit "$a"
    alive "$b" || fail "second copy ended with the first"
    click "$b" exit
    wait_exit "$b"
    # The last window closed wins.
    expect_ini "$file_b" 500 1
}

outer() { # outer WINDOW: "left top width height" of the window with the frame its manager drew
    local x y w h l r t b
    x=$(xwininfo -id "$1" | awk '/Absolute upper-left X:/ {print $4}')
    y=$(xwininfo -id "$1" | awk '/Absolute upper-left Y:/ {print $4}')
    w=$(xwininfo -id "$1" | awk '/^ *Width:/ {print $2}')
    h=$(xwininfo -id "$1" | awk '/^ *Height:/ {print $2}')
    read -r l r t b <<<"$(xprop -id "$1" _NET_FRAME_EXTENTS | sed 's/^.*= //; s/,//g')"
    [[ -n $b ]] || fail "window $1 has no frame extents"
    echo "$((x - l)) $((y - t)) $((w + l + r)) $((h + t + b))"
}

about_window() { xdotool search --all --onlyvisible --pid "$1" --name '^Tallowmereについて$' 2>/dev/null | head -n1; }
has_about() { [[ -n $(about_window "$1") ]]; }
no_about() { ! has_about "$1"; }

# Opens About from the keyboard, checks it is centred over the main window, closes it with Esc.
about_opens_centred() {
    local main=${WIN_OF[$APP]} about ml mt mw mh al at aw ah try
    # The help menu, then its About item once the menu is up. Should a loaded machine lose a key,
    # close what opened and try again.
    for try in 1 2 3; do
        activate "$main"
        xdotool key alt+h
        poll 5 menu_open "$APP" && xdotool key a
        poll 5 has_about "$APP" && break
        xdotool key Escape Escape
    done
    has_about "$APP" || fail "the About window did not open from the help menu"
    about=$(about_window "$APP")
    poll "$TIMEOUT" xprop -id "$about" _NET_FRAME_EXTENTS >/dev/null || fail "the About window was never framed"
    read -r ml mt mw mh <<<"$(outer "$main")"
    read -r al at aw ah <<<"$(outer "$about")"
    # Frame centred on frame, to the pixel the twips allow.
    local dx=$(((2 * al + aw) - (2 * ml + mw))) dy=$(((2 * at + ah) - (2 * mt + mh)))
    ((dx >= -3 && dx <= 3 && dy >= -3 && dy <= 3)) ||
        fail "About at $al,$at ${aw}x$ah is not centred over the main window at $ml,$mt ${mw}x$mh (2x offset $dx,$dy)"
    activate "$about"
    xdotool key Escape
    poll "$TIMEOUT" no_about "$APP" || fail "Esc did not close the About window"
}

scenario_about_centred() {
    new_home home
    start_app "$HOME_DIR"
    about_opens_centred
    click "$APP" exit
    wait_exit "$APP"
}

# The window manager takes over while the program runs (a session that starts programs before its
# window manager, a user who switches window managers): it frames the shown window without moving it.
scenario_about_after_late_wm() {
    new_home home
    display_wm_stop
    start_app "$HOME_DIR"
    display_wm_start || fail "openbox did not start again"
    poll "$TIMEOUT" xprop -id "${WIN_OF[$APP]}" _NET_FRAME_EXTENTS >/dev/null || fail "the main window was never framed"
    about_opens_centred
    click "$APP" exit
    wait_exit "$APP"
}

file_dialog() { xdotool search --all --onlyvisible --pid "$1" --name '^Open$' 2>/dev/null | head -n1; }
has_file_dialog() { [[ -n $(file_dialog "$1") ]]; }
no_file_dialog() { ! has_file_dialog "$1"; }

scenario_browse_missing_folder() {
    new_volume 4m
    new_home home
    start_app "$HOME_DIR"
    type_into "$APP" path "$VOL/keep.dat"
    click "$APP" browse
    poll "$TIMEOUT" has_file_dialog "$APP" || fail "Browse opened no file dialog"
    activate "$(file_dialog "$APP")"
    xdotool key ctrl+a BackSpace
    xdotool type -- "$VOL/missing/new.dat"
    xdotool key Return
    # The folder does not exist: one message, then the dialog again.
    answer "$APP" Return
    poll "$TIMEOUT" has_file_dialog "$APP" || fail "the file dialog did not come back after the message"
    activate "$(file_dialog "$APP")"
    xdotool key Escape
    poll "$TIMEOUT" no_file_dialog "$APP" || fail "Esc did not close the file dialog"
    expect_no_dialog "$APP" "after the dialog was cancelled"
    [[ ! -e $VOL/missing ]] || fail "the missing folder was made"
    click "$APP" exit
    wait_exit "$APP"
    # Cancelled: the typed path stays.
    expect_ini "$VOL/keep.dat" "" 0
}

# A keyboard user: Enter in a text box starts nothing; Enter on the focused Start button does.
scenario_keyboard_start() {
    new_volume 16m
    new_home home
    local file=$VOL/keys.bin
    start_app "$HOME_DIR"
    type_into "$APP" path "$file"
    type_into "$APP" size 2
    xdotool key Return
    click "$APP" mb
    # From the unit buttons the focus goes round to Browse, then to Start.
    xdotool key Tab Tab
    [[ ! -e $file ]] || fail "Enter in the size box started a run"
    xdotool key Return
    wait_run "$APP" "$file" missing
    check_fill "$file" 2097152
    expect_no_dialog "$APP" "after a run started from the keyboard"
    click "$APP" exit
    wait_exit "$APP"
}

# ---------------------------------------------------------------------------------------------

failures=0

run_scenario() { # run_scenario NAME FUNCTION
    local name=$1 fn=$2 round
    if [[ -n $ONLY && " $ONLY " != *" $name "* ]]; then
        return 0
    fi
    for ((round = 1; round <= REPEAT; ++round)); do
        run_scenario_once "$name" "$fn"
    done
}

run_scenario_once() {
    local name=$1 fn=$2 rc=0 reason
    CASE_DIR=$(mktemp -d /tmp/tallowmere-e2e-case.XXXXXX)
    (
        CASE=$CASE_DIR
        set -eE
        trap 'echo "line $LINENO: \"$BASH_COMMAND\" failed" >"$CASE/reason"' ERR
        "$fn"
    ) </dev/null &
    CASE_PID=$!
    wait "$CASE_PID" || rc=$?
    CASE_PID=
    if ((rc == 0)); then
        echo "PASS: $name"
    else
        reason=$(cat "$CASE_DIR/reason" 2>/dev/null || echo "exit code $rc")
        echo "FAIL: $name: $reason"
        failures=$((failures + 1))
        # The programs are still up: the screen shows what they showed.
        if command -v import >/dev/null; then
            import -window root "$ARTIFACTS/e2e-$name.png" 2>/dev/null || true
        fi
        local log
        for log in "$CASE_DIR"/app-*.log; do
            [[ -e $log ]] && cp "$log" "$ARTIFACTS/e2e-$name-$(basename "$log")"
        done
    fi
    cleanup_case "$CASE_DIR"
    CASE_DIR=
}

echo "display $DISPLAY, program $BIN"
run_scenario fixed_size_3mb scenario_fixed_size
run_scenario fill_disk scenario_fill_disk
run_scenario stop_during_run scenario_stop
run_scenario delete_yes_no scenario_delete
run_scenario overwrite_answered_no scenario_overwrite_no
run_scenario close_box_during_run scenario_close_during_run
run_scenario restart_restores_settings scenario_restart_restores
run_scenario two_copies scenario_two_copies
run_scenario about_centred_over_main scenario_about_centred
run_scenario about_centred_when_the_wm_came_late scenario_about_after_late_wm
run_scenario browse_refuses_a_missing_folder scenario_browse_missing_folder
run_scenario keyboard_start scenario_keyboard_start

if ((failures > 0)); then
    echo "$failures scenario(s) failed; screenshots and logs in $ARTIFACTS"
    exit 1
fi
echo "all scenarios passed"
