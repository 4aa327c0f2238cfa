#!/usr/bin/env bash
# Runs the Windows build under Wine, on Xvfb: the core test suites built for Windows, then
# tallowmere-fill.exe and TALLOWMR.exe on Wine drives mapped to small tmpfs volumes it mounts.
#   scripts/check-windows.sh [BUILD_DIR]     (default: build-windows, made by scripts/build-windows.sh)
# Needs root (tmpfs mounts). A screenshot of the main window lands in BUILD_DIR/wine-main-window.png;
# on a failure, a screenshot of the whole screen and the logs go to BUILD_DIR/wine-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(readlink -f "${1:-build-windows}")
readonly TIMEOUT=60 # seconds for every wait on a program under Wine
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ -f "$build/TALLOWMR.exe" ] && [ -f "$build/tallowmere-fill.exe" ] || fail "no Windows build in $build: run scripts/build-windows.sh"
[ "$(id -u)" -eq 0 ] || fail "needs root to mount the tmpfs volumes the Wine drives stand on"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
readonly HEADER="Maked By Tallowmere $version"

scripts/deps.sh wine64 xvfb xauth xdotool openbox wmctrl x11-utils imagemagick fonts-noto-cjk

work=$(mktemp -d /tmp/tallowmere-wine.XXXXXX)
artifacts=$build/wine-artifacts
rm -rf "$artifacts"
mkdir -p "$artifacts"
# Wine's own settings, registry and drive letters live in a prefix of this run alone: the user's
# ~/.wine and the program's settings there are never touched.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
export LANG=C.UTF-8 LC_ALL=C.UTF-8
wine=/usr/lib/wine/wine64
mounts=()

cleanup() {
    local rc=$? m
    trap - EXIT INT TERM
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    for m in "${mounts[@]}"; do
        umount "$m" 2>/dev/null || umount -l "$m" || true
    done
    rm -rf --one-file-system "$work"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# shellcheck source=tests/e2e/suitelib.sh
source tests/e2e/suitelib.sh
# shellcheck source=scripts/lib/display.sh
source scripts/lib/display.sh

# ---------------------------------------------------------------------------------------------
# X server and window manager (the test suites with widgets need a display too); they stop before
# cleanup runs.

display_start -screen 0 1280x1024x24 -dpi 96 || fail "Xvfb did not start"
display_wm_start || fail "openbox did not start"
# Wine's desktop process, started here, takes its display from this environment for the whole
# session: it must see the X server.
"$wine" wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed: $(tail -n3 "$work/wineboot.log")"

# ---------------------------------------------------------------------------------------------
# Drives. Each stands on a tmpfs mounted here: the drive letter is made only once the mount is
# checked, so a failed mount can never send a fill to the machine's own disk.

new_drive() { # new_drive LETTER SIZE: a tmpfs of SIZE as drive LETTER
    local letter=$1 dir=$work/drive-$1
    mkdir -p "$dir"
    mount -t tmpfs -o "size=$2,mode=0755" tallowmere-wine "$dir"
    mounts+=("$dir")
    mountpoint -q "$dir" && [ "$(stat -f -c %T "$dir")" = tmpfs ] || fail "no tmpfs at $dir"
    ln -sfn "$dir" "$WINEPREFIX/dosdevices/${letter,,}:"
}
new_drive T 16m # small: "fill to full" takes a moment
new_drive S 4g # roomy: a run lasts long enough to be stopped
small=$work/drive-T
roomy=$work/drive-S
small_bytes=$((16 * 1048576))
[ "$(df --output=size -B1 "$small" | tail -n1 | tr -d ' ')" = "$small_bytes" ] || fail "T: is not 16 MiB"

passed=0
failed=0
step() { # step NAME FUNCTION: runs one check in a subshell and counts it
    local name=$1 rc=0
    shift
    rm -rf "${small:?}"/* "${roomy:?}"/*
    set +e
    (
        set -e
        "$@"
    ) >"$artifacts/$name.log" 2>&1
    rc=$?
    set -e
    if ((rc == 0)); then
        echo "PASS: $name"
        passed=$((passed + 1))
    else
        echo "FAIL: $name: $(tail -n1 "$artifacts/$name.log")"
        failed=$((failed + 1))
        import -window root "$artifacts/$name.png" 2>/dev/null || true
        # Whatever the step left running goes with it (Wine starts its server again when asked).
        /usr/lib/wine/wineserver -k 2>/dev/null || true
        /usr/lib/wine/wineserver -w 2>/dev/null || true
    fi
}

# ---------------------------------------------------------------------------------------------
# The test suites, through CMake's emulator setting: every test program runs under Wine.

suites() {
    TALLOWMERE_TEST_DRIVE=T: TALLOWMERE_TEST_DRIVE_BYTES=$small_bytes \
        ctest --test-dir "$build" --verbose --timeout 300
    rm -rf "${small:?}"/*
}
step test-suites suites

# ---------------------------------------------------------------------------------------------
# tallowmere-fill.exe

fill_exe() { "$wine" "$build/tallowmere-fill.exe" "$@"; }

expect_exit() { # expect_exit CODE COMMAND...
    local want=$1 rc=0
    shift
    "$@" || rc=$?
    ((rc == want)) || fail "'$*' exited with $rc, expected $want"
}

cli_sizes() {
    expect_exit 0 fill_exe --quiet 'T:\exact.bin' 3M
    check_fill "$small/exact.bin" 3145728
    expect_exit 0 fill_exe --quiet 'T:\odd.bin' 1537
    check_fill "$small/odd.bin" 2048
    rm -f "$small"/*
    # No size: the drive is filled to the last block.
    expect_exit 0 fill_exe --quiet 'T:\full.bin'
    check_fill "$small/full.bin"
    (($(avail "$small") < 4096)) || fail "$(avail "$small") bytes still free on T:"
    rm -f "$small"/*
}
step fill-exact-and-full cli_sizes

cli_leave() {
    local left
    expect_exit 0 fill_exe --quiet 'T:\leave.bin' --leave 4M
    check_fill "$small/leave.bin"
    left=$(avail "$small")
    ((left >= 4194304 && left < 4194304 + 8192)) || fail "--leave 4M left $left bytes"
    rm -f "$small"/*
    expect_exit 0 fill_exe --quiet 'T:\leave.bin' --leave 50%
    left=$(avail "$small")
    ((left >= small_bytes / 2 && left < small_bytes / 2 + 8192)) || fail "--leave 50% left $left bytes"
    rm -f "$small"/*
}
step fill-leave cli_leave

cli_exit_codes() {
    local out
    expect_exit 2 fill_exe --bogus 'T:\x.bin'
    expect_exit 2 fill_exe --quiet 'T:\no\such\folder\x.bin' 1M
    # More than the drive holds: filled, but short of the size.
    expect_exit 3 fill_exe --quiet 'T:\big.bin' 1G
    check_fill "$small/big.bin"
    # An existing file is overwritten only with --force.
    expect_exit 2 fill_exe --quiet 'T:\big.bin' 1M
    expect_exit 0 fill_exe --quiet --force 'T:\big.bin' 1M
    check_fill "$small/big.bin" 1048576
    out=$(fill_exe --json 'T:\big.bin' 2M --force)
    [[ $out == *'"reason":"target reached"'* ]] || fail "JSON summary: $out"
    rm -f "$small"/*
}
step fill-exit-codes cli_exit_codes

cli_in_use() {
    local holder out rc=0
    # Another process holds the file open for writing, as another filler would.
    coproc HOLD { "$wine" "$build/tests/windows/holdopen.exe" 'T:\held.bin' 120; }
    holder=$HOLD_PID
    read -r -t "$TIMEOUT" line <&"${HOLD[0]}" || fail "holdopen did not start"
    [[ $line == held* ]] || fail "holdopen said '$line'"
    out=$(fill_exe --json --force 'T:\held.bin' 1M) || rc=$?
    kill "$holder" 2>/dev/null || true
    ((rc == 2)) || fail "exit code $rc for a file in use, expected 2: $out"
    [[ $out == *'another program'* ]] || fail "not reported as in use: $out"
    [ "$(stat -c %s "$small/held.bin")" = 0 ] || fail "the held file was changed"
    rm -f "$small"/*
}
step fill-file-in-use cli_in_use

cli_interrupt() {
    local pid rc=0
    # Ctrl-C reaches a Windows console program as a console event: it ends the run, keeping the file.
    "$wine" "$build/tallowmere-fill.exe" 'S:\int.bin' >"$work/int.log" 2>&1 &
    pid=$!
    big_enough() { (($(stat -c %s "$roomy/int.bin" 2>/dev/null || echo 0) > 1048576)); }
    poll "$TIMEOUT" big_enough || fail "no run in progress on S:"
    kill -INT "$pid"
    wait "$pid" || rc=$?
    ((rc == 130)) || fail "exit code $rc after Ctrl-C, expected 130: $(cat "$work/int.log")"
    (($(avail "$roomy") >= 1048576)) || fail "S: filled despite Ctrl-C"
    check_fill "$roomy/int.bin"
    rm -f "$roomy"/*
}
step fill-interrupted cli_interrupt

# A command for --run (tests/windows/childproc.cpp), by its Windows name: Wine's Z: is /.
child="Z:${build//\//\\}\\tests\\windows\\childproc.exe"
size_is() { [[ $(stat -c %s "$1" 2>/dev/null) == "$2" ]]; }
child_left() { pgrep -f 'childproc\.exe 0 120' >/dev/null; } # what "childproc CODE SECONDS spawn" left
run_bg() { # run_bg ARGS...: tallowmere-fill.exe in the background, its process in $bg
    "$wine" "$build/tallowmere-fill.exe" --quiet "$@" >>"$artifacts/background.log" 2>&1 &
    bg=$!
}

cli_run() {
    local out rc=0
    # COMMAND's code as it is; a Linux shell sees only its low byte under Wine, the summary all of it.
    out=$(fill_exe --json 'T:\run.bin' 1M --run "$child" 0xC0000005 0 spawn) || rc=$?
    ((rc == 5)) && [[ $out == *'"exit_code":-1073741819'* ]] || fail "0xC0000005 not passed on ($rc): $out"
    poll 10 eval '! child_left' || fail "COMMAND's child outlived the run"
    # Started from a Linux shell, Wine gives no console that GenerateConsoleCtrlEvent could send
    # Ctrl-Break through: Ctrl-C terminates the job at once, COMMAND with STATUS_CONTROL_C_EXIT
    # (0xC000013A, low byte 0x3A). The Ctrl-Break and its grace are for real Windows.
    run_bg 'T:\run.bin' 1M --run "$child" 0 60 spawn
    poll "$TIMEOUT" child_left || fail "COMMAND did not start"
    kill -INT "$bg"
    rc=0
    wait "$bg" || rc=$?
    ((rc == 0x3A)) || fail "exit code $rc after Ctrl-C, expected 58 (0xC000013A)"
    [ ! -e "$small/run.bin" ] && poll 10 eval '! child_left' || fail "Ctrl-C left the fill or COMMAND's child"
}
step run-exit-code-children-ctrl-c cli_run

killed() { # killed NAME ARGS...: kills a held 1 MiB fill T:\NAME as taskkill /F would
    run_bg "T:\\$1" 1M "${@:2}"
    poll "$TIMEOUT" size_is "$small/$1" 1048576 || fail "no held fill $1"
    [[ $* != *spawn* ]] || poll "$TIMEOUT" child_left || fail "COMMAND did not start"
    kill -KILL "$bg"
    wait "$bg" || true
}
cli_killed() {
    # The system closes a killed process's handles: the fill file (delete-on-close) and the job go.
    killed held.bin --hold 60
    killed run.bin --run "$child" 0 60 spawn
    killed kept.bin --keep --hold 60
    poll 10 eval '[ ! -e "$small/held.bin" ] && [ ! -e "$small/run.bin" ] && ! child_left' ||
        fail "a killed run left its fill or COMMAND's child: $(ls "$small")"
    check_fill "$small/kept.bin" 1048576
    { printf '%s' "$HEADER" && head -c 2048 /dev/zero | tr '\0' x; } >"$small/lookalike.bin"
    expect_exit 0 fill_exe --quiet --clean "T:\\"
    [ ! -e "$small/kept.bin" ] && [ -f "$small/lookalike.bin" ] || fail "--clean left: $(ls "$small")"
}
step killed-runs-and-clean cli_killed

cli_refused() {
    local out rc=0
    out=$(fill_exe 'T:\inodes' --inodes 2>&1) || rc=$?
    ((rc == 2)) && [[ $out == *'--inodes is not available on Windows'* ]] || fail "--inodes ($rc): $out"
    rc=0
    out=$(fill_exe --isolate "T:\\" --run "$child" 0 2>&1) || rc=$?
    ((rc == 2)) && [[ $out == *'--isolate is not available on Windows'* ]] || fail "--isolate ($rc): $out"
}
step inodes-and-isolate-refused cli_refused

# ---------------------------------------------------------------------------------------------
# TALLOWMR.exe, driven through X11 as a person would.

app_pid=
start_app() {
    "$wine" "$build/TALLOWMR.exe" >>"$artifacts/TALLOWMR.log" 2>&1 &
    app_pid=$!
    poll "$TIMEOUT" main_window >/dev/null || fail "no Tallowmere window within ${TIMEOUT}s"
    win=$(main_window)
    local height
    height=$(xwininfo -id "$win" | awk '/^ *Height:/ {print $2}')
    # The client area is 130 pixels high; above it, the menu bar.
    menu=$((height - 130))
    ((menu > 0 && menu < 80)) || fail "window height $height leaves no room for a menu bar"
}
main_window() { # the visible 441-pixel-wide window named Tallowmere
    local w
    for w in $(xdotool search --all --onlyvisible --name '^Tallowmere$' 2>/dev/null); do
        if [[ $(xwininfo -id "$w" 2>/dev/null | awk '/^ *Width:/ {print $2}') == 441 ]]; then
            echo "$w"
            return 0
        fi
    done
    return 1
}
dialog() { # a visible message box of the program
    local w
    for w in $(xdotool search --all --onlyvisible --name '^Tallowmere$' 2>/dev/null); do
        [[ $w == "$win" ]] || {
            echo "$w"
            return 0
        }
    done
    return 1
}
no_dialog() { ! dialog >/dev/null; }
is_active() { [[ $(xdotool getactivewindow 2>/dev/null) == "$1" ]]; }
activate() {
    is_active "$1" && return 0
    xdotool windowactivate "$1" 2>/dev/null || true
    poll "$TIMEOUT" is_active "$1" || fail "window $1 never became active"
}
declare -A CONTROL=(
    [path]="3307 615" [size]="1387 1095" [kb]="2460 930" [mb]="2460 1170"
    [start]="1460 1710" [exit]="2540 1710" [stop]="4460 1710" [delete]="5540 1710"
)
click() { # click CONTROL (centres in twips below the menu bar)
    local tx ty
    read -r tx ty <<<"${CONTROL[$1]}"
    activate "$win"
    xdotool mousemove --window "$win" $((tx / 15)) $((menu + ty / 15)) click 1
}
type_into() { # type_into CONTROL TEXT
    click "$1"
    xdotool key ctrl+a BackSpace
    [[ -z $2 ]] || xdotool type --delay 20 -- "$2"
}
answer() { # answer KEY...: answers the open message box
    local box
    poll "$TIMEOUT" dialog >/dev/null || fail "expected a message box, none appeared"
    box=$(dialog)
    activate "$box"
    xdotool key "$@"
    poll "$TIMEOUT" no_dialog || fail "message box still open after keys: $*"
}
gone() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_exit() {
    poll "$TIMEOUT" gone || fail "TALLOWMR.exe still running ${TIMEOUT}s after Exit"
    wait "$app_pid" || fail "TALLOWMR.exe exited with code $?"
}
# Still for a second: the run that wrote it has ended.
settled() {
    local a b
    a=$(stat -c %s "$1" 2>/dev/null) || return 1
    sleep 1
    b=$(stat -c %s "$1" 2>/dev/null) || return 1
    [[ $a == "$b" ]]
}
growing() { (($(stat -c %s "$1" 2>/dev/null || echo 0) > 1048576)); }
setting() { # setting NAME: the value in the registry key the README names
    "$wine" reg query 'HKCU\Software\Tallowmere\Tallowmere\Tallowmere' /v "$1" 2>/dev/null |
        tr -d '\r' | awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}

gui_fill_stop_delete() {
    start_app
    display_capture "$win" "$build/wine-main-window.png"
    # A fill of the size typed.
    type_into path 'T:\gui.bin'
    type_into size 3
    click mb
    click start
    poll "$TIMEOUT" size_is "$small/gui.bin" 3145728 || fail "no 3 MiB file after Start"
    poll "$TIMEOUT" settled "$small/gui.bin" || fail "the run never ended"
    check_fill "$small/gui.bin" 3145728
    no_dialog || fail "a message box after the run"
    [[ $(setting OUTFILE) == 'T:\gui.bin' && $(setting SIZE) == 3 && $(setting SIZESCALE) == 1 ]] ||
        fail "settings after Start: OUTFILE '$(setting OUTFILE)' SIZE '$(setting SIZE)' SIZESCALE '$(setting SIZESCALE)'"

    # Stop, on a drive that would take a while to fill.
    type_into path 'S:\stop.bin'
    type_into size ''
    click start
    poll "$TIMEOUT" growing "$roomy/stop.bin" || fail "no run in progress on S:"
    click stop
    poll "$TIMEOUT" settled "$roomy/stop.bin" || fail "still writing after Stop"
    (($(avail "$roomy") >= 1048576)) || fail "S: filled despite Stop"
    check_fill "$roomy/stop.bin"
    no_dialog || fail "a message box after Stop"

    # Delete asks first; No keeps the file, Yes (the default) deletes it.
    click delete
    answer Tab Return
    [ -f "$roomy/stop.bin" ] || fail "the file went although the answer was No"
    click delete
    answer Return
    poll "$TIMEOUT" test ! -e "$roomy/stop.bin" || fail "the file is still there after Yes"

    # What the boxes hold when the window closes is saved then, for the next start.
    type_into path 'T:\restored.bin'
    type_into size 2
    click mb
    click exit
    wait_exit
    [[ $(setting OUTFILE) == 'T:\restored.bin' && $(setting SIZE) == 2 && $(setting SIZESCALE) == 1 ]] ||
        fail "settings after Exit: OUTFILE '$(setting OUTFILE)' SIZE '$(setting SIZE)' SIZESCALE '$(setting SIZESCALE)'"
}
step gui-fill-stop-delete gui_fill_stop_delete

gui_restores_and_about() {
    local about
    # Only the path, size and unit the last window saved make this a 2 MiB file.
    start_app
    click start
    poll "$TIMEOUT" size_is "$small/restored.bin" 2097152 || fail "the restored settings did not make a 2 MiB file"
    poll "$TIMEOUT" settled "$small/restored.bin" || fail "the run never ended"
    check_fill "$small/restored.bin" 2097152

    # About, from the help menu; Esc closes it.
    about_window() { xdotool search --all --onlyvisible --name '^Tallowmereについて$' 2>/dev/null | head -n1; }
    has_about() { [[ -n $(about_window) ]]; }
    for _ in 1 2 3; do
        activate "$win"
        xdotool key alt+h
        # Under Wine the open menu shows as one more window of the program's name.
        poll 5 dialog >/dev/null && xdotool key a
        poll 5 has_about && break
        xdotool key Escape Escape
    done
    has_about || fail "the About window did not open from the help menu"
    about=$(about_window)
    display_capture "$about" "$build/wine-about-window.png" || true
    activate "$about"
    xdotool key Escape
    poll "$TIMEOUT" eval '! has_about' || fail "Esc did not close the About window"
    click exit
    wait_exit
    rm -f "$small"/*
}
step gui-restored-settings-and-about gui_restores_and_about

echo "$passed passed, $failed failed"
((failed == 0)) || fail "logs and screenshots in $artifacts"
