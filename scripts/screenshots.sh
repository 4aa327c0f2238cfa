#!/usr/bin/env bash
# Renders the README's screenshots from the real program: the main window and the About window,
# with their window-manager frames, under Xvfb + openbox at 96 dpi.
#   scripts/screenshots.sh [BUILD_DIR]     (default: build; writes docs/main-window.png, docs/about-window.png)
# The program starts with its own settings folder; it reads the free space of /tmp and writes nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$(readlink -f "${1:-build}/src/TALLOWMR")
[[ -x $bin ]] || { echo "screenshots: build TALLOWMR first ($bin)" >&2; exit 2; }
for tool in Xvfb openbox xdotool import; do
    command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (scripts/deps.sh installs it)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/tallowmere-shots.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")

mkdir -p "$work/home/config/Tallowmere" "$work/home/runtime"
chmod 700 "$work/home/runtime"
printf '[Tallowmere]\nOUTFILE=/tmp/fill.dat\nSIZE=100\nSIZESCALE=1\n' >"$work/home/config/Tallowmere/Tallowmere.conf"
run() {
    env -i PATH="$PATH" LANG=C.UTF-8 DISPLAY="$DISPLAY" HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" \
        XDG_RUNTIME_DIR="$work/home/runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" "$@"
}
run openbox >/dev/null 2>&1 &
pids+=($!)
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window; do sleep 0.1; done

run QT_QPA_PLATFORM=xcb "$bin" >/dev/null 2>&1 &
pids+=($!)
window() { # window TITLE: waits for the visible window with that title and prints its id
    local id
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1) && [[ -n $id ]] && { echo "$id"; return; }
        sleep 0.1
    done
    echo "screenshots: no window \"$1\"" >&2
    exit 1
}
main=$(window Tallowmere)
xdotool windowactivate --sync "$main" 2>/dev/null || true
sleep 0.5 # the first paint, the frame drawn active
import -window "$main" -frame "$root/docs/main-window.png"

xdotool key --clearmodifiers alt+h
sleep 0.3
xdotool key a
about=$(window 'Tallowmereについて')
sleep 0.5
import -window "$about" -frame "$root/docs/about-window.png"
echo "screenshots: docs/main-window.png docs/about-window.png"
