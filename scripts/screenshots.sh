#!/usr/bin/env bash
# Renders the README's screenshots from the real program: the main window and the About window,
# with their window-manager frames, under Xvfb + openbox at 96 dpi.
#   scripts/screenshots.sh [BUILD_DIR]     (default: build; writes docs/main-window.png, docs/about-window.png)
# The program starts with its own settings folder; it reads the free space of /tmp and writes nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$(readlink -f "${1:-build}/src/TALLOWMR")
fail() {
    echo "screenshots: $*" >&2
    exit 1
}
[[ -x $bin ]] || fail "build TALLOWMR first ($bin)"
for tool in Xvfb xdpyinfo openbox wmctrl xdotool xprop import convert; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/deps.sh installs it)"
done

work=$(mktemp -d /tmp/tallowmere-shots.XXXXXX)
app=
cleanup() {
    [[ -z $app ]] || kill "$app" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# shellcheck source=tests/e2e/suitelib.sh
source tests/e2e/suitelib.sh
# shellcheck source=scripts/lib/display.sh
source scripts/lib/display.sh
display_start -screen 0 1024x768x24 -dpi 96 || fail "no X server"
display_wm_start || fail "no window manager"

mkdir -p "$work/home/config/Tallowmere" "$work/home/runtime"
chmod 700 "$work/home/runtime"
printf '[Tallowmere]\nOUTFILE=/tmp/fill.dat\nSIZE=100\nSIZESCALE=1\n' >"$work/home/config/Tallowmere/Tallowmere.conf"
env -i PATH="$PATH" LANG=C.UTF-8 DISPLAY="$DISPLAY" HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" \
    XDG_RUNTIME_DIR="$work/home/runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" \
    QT_QPA_PLATFORM=xcb "$bin" >/dev/null 2>&1 &
app=$!

window() { xdotool search --all --onlyvisible --pid "$app" --name "^$1\$" 2>/dev/null | head -n1; }
shown() { [[ -n $(window "$1") ]]; }
active() { [[ $(xdotool getactivewindow 2>/dev/null) == "$1" ]]; }

poll 10 shown Tallowmere || fail "no window \"Tallowmere\""
main=$(window Tallowmere)
xdotool windowactivate "$main" 2>/dev/null || true
poll 10 active "$main" || fail "the main window did not become active"
display_capture "$main" "$root/docs/main-window.png" -frame

xdotool key --clearmodifiers alt+h
poll 10 menu_open "$app" || fail "the help menu did not open"
xdotool key a
poll 10 shown 'Tallowmereについて' || fail "no window \"Tallowmereについて\""
about=$(window 'Tallowmereについて')
poll 10 active "$about" || fail "the About window did not become active"
display_capture "$about" "$root/docs/about-window.png" -frame
echo "screenshots: docs/main-window.png docs/about-window.png"
