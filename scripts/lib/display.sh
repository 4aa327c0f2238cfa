# shellcheck shell=bash
# A private X server for the scripts that show real windows, and a window manager where asked. Sourced.
#   display_start [XVFB_OPTION...]  starts Xvfb on a display number it finds free itself (-displayfd)
#                                   and exports DISPLAY once the server answers
#   display_wm_start                starts openbox, in a clean environment of its own, and waits until
#                                   it manages the screen
#   display_wm_stop                 stops openbox (also from a subshell)
#   display_stop                    stops both; it also runs when the shell exits, before the EXIT trap
#                                   the caller had set when it called display_start
#   display_capture WINDOW FILE [IMPORT_OPTION...]
#                                   a picture of WINDOW once it is drawn (ImageMagick's import)
# A server that does not come up within 30 s: its log on stderr, and a non-zero return.

_display_dir=
_display_xvfb=

_display_poll() { # _display_poll COMMAND...: true as soon as COMMAND succeeds, false after 30 s
    local deadline=$((SECONDS + 30))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}

_display_failed() { # _display_failed WHAT LOG
    cat "$2" >&2 2>/dev/null
    echo "display: $1 did not start" >&2
    return 1
}

# Xvfb has told its display number and answers on it, or it has ended.
_display_up() {
    kill -0 "$_display_xvfb" 2>/dev/null || return 0
    [[ $(head -n1 "$_display_dir/number" 2>/dev/null) =~ ^[0-9]+$ ]] &&
        DISPLAY=:$(head -n1 "$_display_dir/number") xdpyinfo >/dev/null 2>&1
}

display_start() {
    [[ -z $_display_xvfb ]] || {
        echo "display: already started on $DISPLAY" >&2
        return 1
    }
    _display_dir=$(mktemp -d /tmp/tallowmere-display.XXXXXX)
    # -noreset: a server that reset when its last client left (the probe below) would turn the next away.
    Xvfb -displayfd 3 -nolisten tcp -noreset "$@" 3>"$_display_dir/number" >"$_display_dir/xvfb.log" 2>&1 &
    _display_xvfb=$!
    # Runs display_stop first, then what the caller set, with the exit status the shell is leaving with.
    local previous
    previous=$(trap -p EXIT)
    eval "set -- $previous" # trap -- 'COMMAND' EXIT
    # shellcheck disable=SC2154 # _display_status is set in the trap itself
    trap '_display_status=$?; set +e; display_stop; (exit $_display_status); '"${3:-}" EXIT
    _display_poll _display_up && kill -0 "$_display_xvfb" 2>/dev/null || _display_failed Xvfb "$_display_dir/xvfb.log" || return
    DISPLAY=:$(head -n1 "$_display_dir/number")
    export DISPLAY
}

_display_managed() { wmctrl -m 2>/dev/null | grep -qx 'Name: Openbox'; }

display_wm_start() {
    local home=$_display_dir/wm
    mkdir -p "$home/runtime"
    chmod 700 "$home/runtime"
    # Nothing of the caller's session (its settings, its D-Bus) reaches the window manager.
    env -i PATH="$PATH" LANG=C.UTF-8 DISPLAY="$DISPLAY" HOME="$home" XDG_CONFIG_HOME="$home/config" \
        XDG_CACHE_HOME="$home/cache" XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/runtime" \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$home/runtime/no-bus" openbox >>"$_display_dir/openbox.log" 2>&1 &
    # In a file, not a variable: a subshell may stop it and start another.
    echo "$!" >"$_display_dir/openbox.pid"
    _display_poll _display_managed || _display_failed openbox "$_display_dir/openbox.log"
}

_display_gone() { [[ ! -e /proc/$1 || $(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) == Z ]]; }

display_wm_stop() {
    local pid
    pid=$(cat "$_display_dir/openbox.pid" 2>/dev/null) || return 0
    rm -f "$_display_dir/openbox.pid"
    # Only the openbox started here: had it ended on its own, the number may be another process's now.
    [[ $(readlink -f "/proc/$pid/exe" 2>/dev/null) == "$(readlink -f "$(command -v openbox)")" ]] || return 0
    kill "$pid" 2>/dev/null || return 0
    _display_poll _display_gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
}

# Two captures in a row agree, and show more than one colour: the window is drawn and stays so.
_display_drawn() { # _display_drawn WINDOW [IMPORT_OPTION...]
    local window=$1 shot=$_display_dir/capture
    shift
    [[ ! -f $shot.ppm ]] || mv -f "$shot.ppm" "$shot-before.ppm"
    import "$@" -window "$window" "$shot.ppm" 2>/dev/null &&
        cmp -s "$shot.ppm" "$shot-before.ppm" && (($(convert "$shot.ppm" -format %k info:) > 1))
}

display_capture() {
    local window=$1 file=$2
    shift 2
    rm -f "$_display_dir"/capture*.ppm
    _display_poll _display_drawn "$window" "$@" || {
        echo "display: window $window was not drawn within 30 s" >&2
        return 1
    }
    convert "$_display_dir/capture.ppm" "$file"
}

display_stop() {
    [[ -n $_display_dir ]] || return 0
    display_wm_stop
    if [[ -n $_display_xvfb ]]; then
        kill "$_display_xvfb" 2>/dev/null && wait "$_display_xvfb" 2>/dev/null
        _display_xvfb=
    fi
    rm -rf "$_display_dir"
    _display_dir=
    unset DISPLAY
    return 0
}
