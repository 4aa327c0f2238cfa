#!/usr/bin/env bash
# Fill benchmark. Builds what it needs, makes fresh volumes of its own (a tmpfs and an ext4 image on
# a loop device), fills them to the last byte with the window's writer (through the real Start
# button, offscreen), tallowmere-fill (writing, and reserving with --allocate), dd, f3write and a plain
# reference loop, beside fio's direct writes as the disk's limit, then measures how fast Stop ends a run, the window's memory during a fill, its
# start-up time under Xvfb, the speed of --data random's generator and how soon --isolate runs its command. Prints a
# table and PASS/MISS per target; a MISS never fails the script. Needs root. See bench/README.md.
#
#   sudo bench/fill-bench.sh             # the full run (about 10 minutes)
#   sudo QUICK=1 bench/fill-bench.sh     # one round, 5 stops, 3 launches
#   sudo PARTS="tmpfs stop" FILLERS="writer dd" bench/fill-bench.sh
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

QUICK=${QUICK:-0}
if [[ $QUICK == 1 ]]; then
    ROUNDS=${ROUNDS:-1} STOPS=${STOPS:-5} LAUNCHES=${LAUNCHES:-3} STALL_STOPS=${STALL_STOPS:-2}
else
    ROUNDS=${ROUNDS:-3} STOPS=${STOPS:-20} LAUNCHES=${LAUNCHES:-10} STALL_STOPS=${STALL_STOPS:-5}
fi
# A tmpfs fill takes a second or two and its speed is that of fresh memory, which varies from fill to
# fill far more than the fillers differ: more rounds there.
TMPFS_ROUNDS=${TMPFS_ROUNDS:-$((ROUNDS * 3))}
PARTS=${PARTS:-tmpfs ext4 stop stall memory startup random isolate}
FILLERS=${FILLERS:-writer tallowmere-fill allocate dd f3write reference fio}
TMPFS_SIZE=${TMPFS_SIZE:-2g}
EXT4_SIZE=${EXT4_SIZE:-4G}
# Stops come 100-1500 ms into a fill: the volume must take longer than that to fill.
STOP_EXT4_SIZE=${STOP_EXT4_SIZE:-8G}
# The stalling volume: writes that stall 2 s now and then, flushes and closes that stall 3 s.
STALL_SIZE=${STALL_SIZE:-64m}
STALL_COMMANDS=${STALL_COMMANDS:-write_stall_ms=2000 write_stall_every=50 fsync_stall_ms=3000 flush_stall_ms=3000}
# The disk with a volatile cache for the stops: how fast its flush drains what was written, its size.
CACHE_DRAIN=${CACHE_DRAIN:-150}
CACHE_SIZE=${CACHE_SIZE:-2g}
# How long the stalling volume does not answer at all, for the window's event loop to be measured.
DEAD_MS=${DEAD_MS:-3000}
WARMUP=${WARMUP:-1}
BUILD=${BUILD:-$root/build-bench}
IMAGE_DIR=${IMAGE_DIR:-/var/tmp}
FILL_TIMEOUT=${FILL_TIMEOUT:-900}
if [[ -n ${SEED:-} ]]; then RANDOM=$SEED; fi

if [[ $EUID -ne 0 ]]; then
    echo "fill-bench: run as root (it mounts volumes and attaches a loop device)" >&2
    exit 2
fi
# The volumes are mounted in a mount namespace of the benchmark's own: a program that makes its own
# namespace meanwhile (a test suite running beside it) would otherwise take a copy of them and keep
# the loop device busy after the benchmark unmounts it. Started in the background by a script, the
# shell would come with SIGINT ignored, which no trap can undo: an interrupt must still clean up.
if [[ -z ${TALLOWMERE_BENCH_NAMESPACE:-} ]]; then
    TALLOWMERE_BENCH_NAMESPACE=1 exec env --default-signal=INT unshare --mount --propagation private "$0" "$@"
fi

has_part() { [[ " $PARTS " == *" $1 "* ]]; }
has_filler() { [[ " $FILLERS " == *" $1 "* ]]; }

# --- tools ---------------------------------------------------------------------------------------

apt_updated=0
install_packages() {
    ((${#@})) || return 0
    echo "fill-bench: installing $*"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null; then
        ((apt_updated)) || { apt-get update -q >/dev/null; apt_updated=1; }
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null
    fi
}
missing=()
command -v mkfs.ext4 >/dev/null || missing+=(e2fsprogs)
command -v losetup >/dev/null || missing+=(mount)
command -v fincore >/dev/null || missing+=(util-linux)
if has_filler f3write && { has_part tmpfs || has_part ext4; }; then
    command -v f3write >/dev/null || missing+=(f3)
fi
if has_filler fio && has_part ext4; then
    command -v fio >/dev/null || missing+=(fio)
fi
if has_part startup; then
    command -v Xvfb >/dev/null || missing+=(xvfb)
    command -v xdpyinfo >/dev/null || missing+=(x11-utils)
    command -v xdotool >/dev/null || missing+=(xdotool)
    command -v dbus-daemon >/dev/null || missing+=(dbus-daemon)
    pkg-config --exists xcb 2>/dev/null || missing+=(libxcb1-dev pkg-config)
fi
if has_part stop; then
    command -v Xvfb >/dev/null || missing+=(xvfb)
    command -v xdpyinfo >/dev/null || missing+=(x11-utils)
    command -v dbus-daemon >/dev/null || missing+=(dbus-daemon)
    [[ -x /usr/libexec/at-spi-bus-launcher ]] || missing+=(at-spi2-core)
    # The outside client: Debian's own Python, whatever python3 comes first on the PATH.
    /usr/bin/python3 -c 'import pyatspi' 2>/dev/null || missing+=(python3-pyatspi gir1.2-atspi-2.0)
    /usr/bin/python3 -c 'import Xlib.ext.xtest' 2>/dev/null || missing+=(python3-xlib)
fi
if has_part stall || has_part stop; then
    pkg-config --exists fuse3 2>/dev/null || missing+=(libfuse3-dev pkg-config)
    command -v fusermount3 >/dev/null || missing+=(fuse3)
fi
install_packages "${missing[@]}"

echo "fill-bench: building in $BUILD"
cmake --preset bench -S "$root" -B "$BUILD" >/dev/null
targets=(bench_fill reference_fill tallowmere-fill random_speed)
if has_part stall || has_part stop; then targets+=(stallfs); fi
if has_part startup; then targets+=(TALLOWMR minimal_window); fi
if has_part stop; then targets+=(TALLOWMR); fi
cmake --build "$BUILD" --target "${targets[@]}" >/dev/null
if has_part startup; then
    cmake --build "$BUILD" --target window_wait >/dev/null 2>&1 || true
fi
bench_fill=$BUILD/bench/bench_fill
reference_fill=$BUILD/bench/reference_fill
tallowmere_fill=$BUILD/src/tallowmere-fill
stallfs=$BUILD/stallfs

# --- volumes and clean-up ------------------------------------------------------------------------

work=$(mktemp -d /tmp/tallowmere-bench.XXXXXX)
images=$(mktemp -d "$IMAGE_DIR/tallowmere-bench.XXXXXX")
mnt_tmpfs=$work/tmpfs
mnt_ext4=$work/ext4
mnt_stall=$work/stall
mnt_stall_backing=$work/stall-backing
mnt_cache=$work/cache
mnt_cache_fuse=$work/cache-fuse
mnt_cache_backing=$work/cache-backing
cache_pid='' cache_loop=''
stall_pid=
mkdir -p "$mnt_tmpfs" "$mnt_ext4" "$mnt_stall" "$mnt_stall_backing" "$mnt_cache" "$mnt_cache_fuse" "$mnt_cache_backing" \
    "$work/runtime"
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
mkfifo "$work/tick"
declare -A LOOPS=() # image name -> loop device
sampler_pid=
bus_pid=

# The outside stop's processes: the window, the session bus and the accessibility bus launcher, and
# what these two started themselves (the accessibility bus, its registry); all by pid.
outside_app_pid='' outside_bus_pid='' outside_a11y_pid='' outside_a11y_address=''
# descendants PID: the pids of PID's children, theirs, and so on, deepest first.
descendants() {
    local child
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        descendants "$child"
        echo "$child"
    done
}
stop_pid() { # stop_pid PID: TERM, then KILL after 2 s; waits when it is a child of this shell
    [[ -n $1 ]] && kill -0 "$1" 2>/dev/null || return 0
    kill "$1" 2>/dev/null || true
    local i
    for i in $(seq 40); do
        [[ -e /proc/$1 && $(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) != Z ]] || break
        sleep 0.05
    done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
outside_down() {
    local pid registry=
    stop_pid "$outside_app_pid"
    outside_app_pid=
    # The registry is started by the accessibility bus and leaves it as its parent: asked by name.
    if [[ -n $outside_a11y_address ]]; then
        registry=$(dbus-send --bus="$outside_a11y_address" --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.GetConnectionUnixProcessID string:org.a11y.atspi.Registry 2>/dev/null | awk '/uint32/ { print $2 }')
        outside_a11y_address=
    fi
    stop_pid "$registry"
    for pid in "$outside_a11y_pid" "$outside_bus_pid"; do
        [[ -n $pid ]] || continue
        for child in $(descendants "$pid"); do stop_pid "$child"; done
        stop_pid "$pid"
    done
    outside_a11y_pid='' outside_bus_pid=''
}

cleanup() {
    set +e
    [[ -n $sampler_pid ]] && kill "$sampler_pid" 2>/dev/null && wait "$sampler_pid" 2>/dev/null
    [[ -n $bus_pid ]] && kill "$bus_pid" 2>/dev/null
    outside_down
    release_stall
    release_cache
    for m in "$mnt_tmpfs" "$mnt_ext4"; do
        if mountpoint -q "$m"; then
            umount "$m" 2>/dev/null || { sleep 1; umount "$m"; } || umount -l "$m"
        fi
    done
    for dev in "${LOOPS[@]}"; do losetup -d "$dev"; done
    rm -rf "$images" "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# shellcheck source=scripts/lib/display.sh
source "$root/scripts/lib/display.sh"

release() { if mountpoint -q "$1"; then umount "$1"; fi; }

fresh_tmpfs() {
    release "$mnt_tmpfs"
    mount -t tmpfs -o "size=$TMPFS_SIZE,mode=1777" tmpfs "$mnt_tmpfs"
}

# fresh_ext4 [NAME SIZE]: a new ext4 on the image NAME (made and attached on first use), mounted.
fresh_ext4() {
    local name=${1:-fill} size=${2:-$EXT4_SIZE}
    release "$mnt_ext4"
    if [[ -z ${LOOPS[$name]:-} ]]; then
        truncate -s "$size" "$images/$name.img"
        LOOPS[$name]=$(losetup --find --show --direct-io=on "$images/$name.img")
    fi
    # Inode tables and journal are written now, not by a background thread during the timed fill.
    # Right after an unmount the device can still be held for a moment (udev probing it): try again.
    local try
    for try in 1 2 3 4 5 6 7 8 9 10; do
        mkfs.ext4 -q -m 0 -F -E lazy_itable_init=0,lazy_journal_init=0 "${LOOPS[$name]}" 2>"$work/mkfs.err" && break
        ((try < 10)) || { cat "$work/mkfs.err" >&2; return 1; }
        sleep 0.5
    done
    mount "${LOOPS[$name]}" "$mnt_ext4"
}

# A volume that stalls on command: stallfs (the tests' FUSE file system) over a tmpfs of its own.
release_stall() {
    if mountpoint -q "$mnt_stall"; then umount "$mnt_stall" || umount -l "$mnt_stall"; fi
    if [[ -n $stall_pid ]]; then
        kill "$stall_pid" 2>/dev/null || true
        wait "$stall_pid" 2>/dev/null || true
        stall_pid=
    fi
    release "$mnt_stall_backing"
}
fresh_stall() {
    release_stall
    mount -t tmpfs -o "size=$STALL_SIZE,mode=1777" tmpfs "$mnt_stall_backing"
    mkdir "$mnt_stall_backing/data"
    "$stallfs" "$mnt_stall_backing/data" "$mnt_stall" 2>/dev/null &
    stall_pid=$!
    local i
    for i in $(seq 500); do
        [[ $(stat -f -c %T "$mnt_stall" 2>/dev/null) == fuse* && -e $mnt_stall/.stallfs ]] && break
        ((i < 500)) || { echo "fill-bench: stallfs did not mount" >&2; exit 1; }
        sleep 0.01
    done
    echo "$STALL_COMMANDS" >"$mnt_stall/.stallfs"
}

# A disk with a large volatile cache, as a virtual machine's host or a consumer SSD has: an ext4 on a
# loop device over an image on stallfs over a tmpfs. Writes are taken at once; an fsync of the image
# (the loop device's flush) waits for what was written since the last one at CACHE_DRAIN MB/s.
release_cache() {
    if mountpoint -q "$mnt_cache"; then umount "$mnt_cache" || umount -l "$mnt_cache"; fi
    if [[ -n $cache_loop ]]; then losetup -d "$cache_loop"; cache_loop=; fi
    if mountpoint -q "$mnt_cache_fuse"; then umount "$mnt_cache_fuse" || umount -l "$mnt_cache_fuse"; fi
    if [[ -n $cache_pid ]]; then
        kill "$cache_pid" 2>/dev/null || true
        wait "$cache_pid" 2>/dev/null || true
        cache_pid=
    fi
    release "$mnt_cache_backing"
}
fresh_cache() {
    release_cache
    mount -t tmpfs -o "size=$CACHE_SIZE" tmpfs "$mnt_cache_backing"
    [[ $(findmnt -n -o FSTYPE "$mnt_cache_backing") == tmpfs ]] || { echo "fill-bench: no tmpfs under the cache disk" >&2; exit 1; }
    mkdir "$mnt_cache_backing/data"
    "$stallfs" "$mnt_cache_backing/data" "$mnt_cache_fuse" 2>/dev/null &
    cache_pid=$!
    local i
    for i in $(seq 500); do
        [[ $(stat -f -c %T "$mnt_cache_fuse" 2>/dev/null) == fuse* && -e $mnt_cache_fuse/.stallfs ]] && break
        ((i < 500)) || { echo "fill-bench: stallfs did not mount" >&2; exit 1; }
        sleep 0.01
    done
    truncate -s "$CACHE_SIZE" "$mnt_cache_fuse/disk.img"
    cache_loop=$(losetup --find --show "$mnt_cache_fuse/disk.img")
    mkfs.ext4 -q -m 0 -F -E lazy_itable_init=0,lazy_journal_init=0 "$cache_loop"
    echo "fsync_drain_mbps=$CACHE_DRAIN" >"$mnt_cache_fuse/.stallfs"
    mount "$cache_loop" "$mnt_cache"
}

mount_of() {
    case $1 in
    tmpfs) echo "$mnt_tmpfs" ;;
    stall) echo "$mnt_stall" ;;
    *) echo "$mnt_ext4" ;;
    esac
}
fresh() {
    case $1 in
    tmpfs) fresh_tmpfs ;;
    stall) fresh_stall ;;
    *) fresh_ext4 ;;
    esac
}

# --- page-cache sampler --------------------------------------------------------------------------

# Sets CACHED to the Cached: line of /proc/meminfo in KiB, without starting a process.
read_cached() {
    local key value rest
    while read -r key value rest; do
        if [[ $key == Cached: ]]; then
            CACHED=$value
            return
        fi
    done </proc/meminfo
}

# start_sampler BASE FILE: samples Cached: (all of the machine's page cache, which other work on the
# machine moves too) and the pages of FILE in the page cache (fincore), what the filler alone holds.
start_sampler() {
    local base=$1 file=$2
    : >"$work/sampling"
    (
        trap - EXIT INT TERM
        exec {tick}<>"$work/tick"
        peak=$base
        file_peak=0
        while [[ -e $work/sampling ]]; do
            read_cached
            if ((CACHED > peak)); then peak=$CACHED; fi
            if [[ -e $file ]] && resident=$(fincore -b -n -o RES "$file" 2>/dev/null) && ((resident > file_peak)); then
                file_peak=$resident
            fi
            read -r -t 0.05 -u "$tick" _ || true
        done
        echo $((peak - base)) >"$work/cache_peak"
        echo $((file_peak / 1024)) >"$work/file_peak"
    ) &
    sampler_pid=$!
}

stop_sampler() {
    rm -f "$work/sampling"
    wait "$sampler_pid" || true
    sampler_pid=
    R_CACHE_KB=$(<"$work/cache_peak")
    R_FILE_KB=$(<"$work/file_peak")
}

# --- one fill ------------------------------------------------------------------------------------

seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }

# Pulls key=value pairs printed by bench_fill into the associative array KV.
declare -A KV
parse_kv() {
    KV=()
    local pair
    for pair in $1; do
        KV[${pair%%=*}]=${pair#*=}
    done
}

# run_fill VOLUME FILLER: fills a fresh VOLUME to the end. Sets R_BYTES, R_SECONDS, R_LEFT,
# R_CACHE_KB, R_FILE_KB, R_OK (0 when the filler failed) and, for the writer, KV.
run_fill() {
    local volume=$1 filler=$2 mnt rc=0 t0 t1 out
    fresh "$volume"
    mnt=$(mount_of "$volume")
    rm -f "$work/settings.ini"
    read_cached
    start_sampler "$CACHED" "$mnt/fill.dat"
    case $filler in
    writer)
        out=$(QT_QPA_PLATFORM=offscreen timeout "$FILL_TIMEOUT" "$bench_fill" "$mnt/fill.dat" "$work/settings.ini" \
            2>"$work/err") || rc=$?
        parse_kv "$out"
        R_SECONDS=${KV[seconds]:-0}
        ;;
    tallowmere-fill)
        t0=$EPOCHREALTIME
        timeout "$FILL_TIMEOUT" "$tallowmere_fill" --quiet "$mnt/fill.dat" 2>"$work/err" || rc=$?
        t1=$EPOCHREALTIME
        R_SECONDS=$(seconds_between "$t0" "$t1")
        ;;
    allocate)
        t0=$EPOCHREALTIME
        timeout "$FILL_TIMEOUT" "$tallowmere_fill" --quiet --allocate "$mnt/fill.dat" 2>"$work/err" || rc=$?
        t1=$EPOCHREALTIME
        R_SECONDS=$(seconds_between "$t0" "$t1")
        ;;
    dd)
        # dd ends with "No space left on device" (exit 1) and fsyncs what it wrote even then.
        t0=$EPOCHREALTIME
        timeout "$FILL_TIMEOUT" dd if=/dev/zero of="$mnt/fill.dat" bs=1M conv=fsync status=none 2>"$work/err" || true
        t1=$EPOCHREALTIME
        grep -q "No space left" "$work/err" || rc=1
        R_SECONDS=$(seconds_between "$t0" "$t1")
        ;;
    f3write)
        t0=$EPOCHREALTIME
        { timeout "$FILL_TIMEOUT" f3write "$mnt" >/dev/null 2>"$work/err" && sync -f "$mnt"; } || rc=$?
        t1=$EPOCHREALTIME
        R_SECONDS=$(seconds_between "$t0" "$t1")
        ;;
    reference)
        t0=$EPOCHREALTIME
        timeout "$FILL_TIMEOUT" "$reference_fill" "$mnt/fill.dat" >/dev/null 2>"$work/err" || rc=$?
        t1=$EPOCHREALTIME
        R_SECONDS=$(seconds_between "$t0" "$t1")
        ;;
    fio)
        # The disk's limit: direct I/O past the page cache, 32 writes of 1 MiB in flight, until the
        # volume is full, then one fsync. Writes refused for want of space are reported and expected.
        t0=$EPOCHREALTIME
        timeout "$FILL_TIMEOUT" fio --name=limit --filename="$mnt/fill.dat" --rw=write --bs=1M --direct=1 \
            --ioengine=io_uring --iodepth=32 --fill_device=1 --fallocate=none --end_fsync=1 \
            --output-format=terse >"$work/fio.out" 2>"$work/err" || rc=$?
        t1=$EPOCHREALTIME
        R_SECONDS=$(seconds_between "$t0" "$t1")
        ;;
    *)
        echo "fill-bench: unknown filler $filler" >&2
        exit 2
        ;;
    esac
    stop_sampler
    if [[ $filler == fio ]]; then
        # Writes in flight beyond one refused for want of space leave holes: count what is on the disk.
        R_BYTES=$(find "$mnt" -xdev -type f -printf '%b\n' | awk '{ s += $1 * 512 } END { printf "%.0f", s }')
    else
        R_BYTES=$(find "$mnt" -xdev -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')
    fi
    R_LEFT=$(stat -f -c '%a %S' "$mnt" | awk '{ printf "%.0f", $1 * $2 }')
    R_OK=1
    if ((rc != 0)); then
        R_OK=0
        echo "fill-bench: $filler on $volume failed (exit $rc): $(head -c 300 "$work/err")" >&2
    fi
}

# --- statistics ----------------------------------------------------------------------------------

# Prints "median min max" of the numbers given.
stats() {
    printf '%s\n' "$@" | sed '/^$/d' | sort -g | awk '
        { v[NR] = $1 }
        END {
            if (NR == 0) { print "nan nan nan"; exit }
            m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            print m, v[1], v[NR]
        }'
}
median() { stats "$@" | cut -d' ' -f1; }
maximum() { stats "$@" | cut -d' ' -f3; }
# Nearest-rank percentile: the smallest value with at least P % of the values at or below it.
percentile() {
    local p=$1
    shift
    printf '%s\n' "$@" | sed '/^$/d' | sort -g | awk -v p="$p" '
        { v[NR] = $1 }
        END { if (NR == 0) { print "nan"; exit } r = int(p * NR / 100); if (r < p * NR / 100) r++; if (r < 1) r = 1; print v[r] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 == 0 || a == "nan" || b == "nan") print "nan"; else printf "%.2f", a / b }'; }
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "nan" && a + 0 >= b + 0) }'; }
at_most() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "nan" && a + 0 <= b + 0) }'; }

declare -A RATES LEFT_MAX CACHE_MAX FILE_MAX SECONDS_MAX
GAP_MAX=0
GAP_WHERE=
FAILED_RUNS=0

note_gap() {
    local gap=${KV[max_gap_ms]:-0}
    if awk -v a="$gap" -v b="$GAP_MAX" 'BEGIN { exit !(a > b) }'; then
        GAP_MAX=$gap
        GAP_WHERE=$1
    fi
}

record() {
    local key=$1/$2 keep=$3 label=$4 rate
    rate=$(awk -v b="$R_BYTES" -v s="$R_SECONDS" 'BEGIN { printf "%.1f", (s > 0) ? b / s / 1e6 : 0 }')
    printf '  %-6s %-9s %-15s %13d B %8.3f s %8.1f MB/s  left %9d B  page cache +%7.1f MiB, of the file %6.1f MiB' \
        "$1" "$label" "$2" "$R_BYTES" "$R_SECONDS" "$rate" "$R_LEFT" "$(awk -v k="$R_CACHE_KB" 'BEGIN { printf "%.1f", k / 1024 }')" \
        "$(awk -v k="$R_FILE_KB" 'BEGIN { printf "%.1f", k / 1024 }')"
    if [[ $2 == writer ]]; then
        printf '  event gap %.1f ms' "${KV[max_gap_ms]:-0}"
        note_gap "$1 $label"
        if [[ $1 == ext4 ]]; then remember_memory; fi
    fi
    ((R_OK)) || printf '  FAILED'
    printf '\n'
    ((R_OK)) || FAILED_RUNS=$((FAILED_RUNS + 1))
    # Bytes left and page cache count every run, warm-up included; rates only the measured rounds.
    if [[ -z ${LEFT_MAX[$key]:-} ]] || ((R_LEFT > ${LEFT_MAX[$key]})); then LEFT_MAX[$key]=$R_LEFT; fi
    if [[ -z ${CACHE_MAX[$key]:-} ]] || ((R_CACHE_KB > ${CACHE_MAX[$key]})); then CACHE_MAX[$key]=$R_CACHE_KB; fi
    if [[ -z ${FILE_MAX[$key]:-} ]] || ((R_FILE_KB > ${FILE_MAX[$key]})); then FILE_MAX[$key]=$R_FILE_KB; fi
    if [[ -z ${SECONDS_MAX[$key]:-} ]] || awk -v a="$R_SECONDS" -v b="${SECONDS_MAX[$key]}" 'BEGIN { exit !(a > b) }'; then
        SECONDS_MAX[$key]=$R_SECONDS
    fi
    if ((keep && R_OK)); then RATES[$key]+="$rate "; fi
}

# The ext4 writer run with the largest growth of resident size is the one reported.
MEM_IDLE='' MEM_PEAK='' MEM_GROWTH=-1 MEM_SAMPLES='' MEM_FILLED=''
remember_memory() {
    local idle=${KV[idle_rss_kb]:-0} hwm=${KV[peak_rss_kb]:-0} sampled=${KV[sampled_max_rss_kb]:-0} peak growth
    peak=$((hwm > sampled ? hwm : sampled))
    growth=$((peak - idle))
    if ((growth > MEM_GROWTH)); then
        MEM_IDLE=$idle MEM_PEAK=$peak MEM_GROWTH=$growth MEM_FILLED=${KV[bytes]:-0}
        MEM_SAMPLES="${KV[rss25_kb]:--1} ${KV[rss50_kb]:--1} ${KV[rss75_kb]:--1} ${KV[rss100_kb]:--1}"
    fi
}

# --- fills ---------------------------------------------------------------------------------------

read -r -a filler_list <<<"$FILLERS"
started_at=$EPOCHREALTIME
echo "fill-bench: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) RAM, kernel $(uname -r)"
echo "fill-bench: rounds $ROUNDS, tmpfs $TMPFS_SIZE, ext4 $EXT4_SIZE on $IMAGE_DIR, fillers: $FILLERS"

# fills_on VOLUME FILLER: whether FILLER runs on VOLUME. fio stands for the disk's limit, and a tmpfs
# has no disk.
fills_on() { [[ $2 != fio || $1 != tmpfs ]]; }
rounds_on() { if [[ $1 == tmpfs ]]; then echo "$TMPFS_ROUNDS"; else echo "$ROUNDS"; fi; }

volumes=()
has_part tmpfs && volumes+=(tmpfs)
has_part ext4 && volumes+=(ext4)
for volume in "${volumes[@]}"; do
    echo
    echo "== $volume: fill until full =="
    if ((WARMUP)); then
        for filler in "${filler_list[@]}"; do
            fills_on "$volume" "$filler" || continue
            run_fill "$volume" "$filler"
            record "$volume" "$filler" 0 warm-up
        done
    fi
    rounds=$(rounds_on "$volume")
    for ((round = 1; round <= rounds; ++round)); do
        # Each round starts one filler further on, so no filler always follows the same one.
        n=${#filler_list[@]}
        for ((i = 0; i < n; ++i)); do
            filler=${filler_list[$(((i + round - 1) % n))]}
            fills_on "$volume" "$filler" || continue
            run_fill "$volume" "$filler"
            record "$volume" "$filler" 1 "round $round"
        done
    done
done

# Memory needs an ext4 fill by the window's writer; the fill rounds above may already have made one.
if has_part memory && ((MEM_GROWTH < 0)); then
    echo
    echo "== memory: one ext4 fill by the window's writer =="
    run_fill ext4 writer
    record ext4 writer 0 memory
fi

# --- stop latency --------------------------------------------------------------------------------

# stop_runs KIND COUNT MIN_MS SPAN_MS PREPARE FILE: COUNT fills of FILE by the window's writer, each on
# a volume PREPARE makes afresh and stopped MIN_MS + a random share of SPAN_MS after its first block.
# Appends to STOP_ACK_<KIND> (queued click to Stop acknowledged) and STOP_BACK_<KIND> (to buttons back).
stop_runs() {
    local kind=$1 count=$2 min=$3 span=$4 prepare=$5 file=$6 i delay out
    local -n acks=STOP_ACK_$kind backs=STOP_BACK_$kind
    for ((i = 1; i <= count; ++i)); do
        $prepare
        rm -f "$work/settings.ini"
        delay=$((min + RANDOM % (span + 1)))
        out=$(QT_QPA_PLATFORM=offscreen timeout "$FILL_TIMEOUT" "$bench_fill" "$file" "$work/settings.ini" \
            --stop-after "$delay" 2>"$work/err") || true
        parse_kv "$out"
        if [[ ${KV[stopped]:-0} == 1 && ${KV[stop_disabled]:-0} == 1 ]] && ((${KV[bytes]:-0} < ${KV[expected]:-0})); then
            acks+=("${KV[stop_ack_ms]}")
            backs+=("${KV[buttons_back_ms]}")
            [[ $kind != ext4 ]] || IN_ROWS+=("$delay ${KV[bytes]} ${KV[stop_ack_ms]} ${KV[buttons_back_ms]}")
            printf '  stop %2d  after %4d ms  %11d B written  acknowledged %7.2f ms  buttons back %8.2f ms  event gap %.1f ms\n' \
                "$i" "$delay" "${KV[bytes]}" "${KV[stop_ack_ms]}" "${KV[buttons_back_ms]}" "${KV[max_gap_ms]}"
        else
            FAILED_RUNS=$((FAILED_RUNS + 1))
            echo "  stop $i after $delay ms: the run was not stopped, or Stop stayed enabled ($out $(head -c 300 "$work/err"))"
        fi
        note_gap "$kind stop $i"
    done
}

# One fdatasync right after 16 MiB were written, on a fresh volume of the stop set-up: what any flush
# of that volume costs, whatever it carries. Sets BARE_FLUSH_MS (or the variable named by $3) to the
# median of 5. measure_bare_flush [PREPARE MOUNT VARIABLE]
measure_bare_flush() {
    local prepare=${1:-prepare_stop_ext4} mnt=${2:-$mnt_ext4} flushes=() i t0 t1
    local -n bare=${3:-BARE_FLUSH_MS}
    for i in 1 2 3 4 5; do
        $prepare
        dd if=/dev/zero of="$mnt/flush.dat" bs=1M count=16 status=none
        t0=$EPOCHREALTIME
        sync --data "$mnt/flush.dat"
        t1=$EPOCHREALTIME
        flushes+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", (b - a) * 1000 }')")
    done
    bare=$(median "${flushes[@]}")
    echo "  bare flush (fdatasync after 16 MiB): ${flushes[*]} ms; median $bare ms"
}
prepare_stop_ext4() { fresh_ext4 stop "$STOP_EXT4_SIZE"; }

STOP_ACK_ext4=() STOP_BACK_ext4=() STOP_ACK_stall=() STOP_BACK_stall=() STOP_ACK_cache=() STOP_BACK_cache=() IN_ROWS=()
BARE_FLUSH_MS='' CACHE_FLUSH_MS=''
if has_part stop; then
    echo
    echo "== stop: $STOPS stops during fills of a $STOP_EXT4_SIZE ext4 by the window's writer =="
    measure_bare_flush
    stop_runs ext4 "$STOPS" 100 1400 prepare_stop_ext4 "$mnt_ext4/fill.dat"
    release "$mnt_ext4"
    echo
    echo "== stop: $STOPS stops on a $CACHE_SIZE ext4 whose disk caches writes and flushes them at $CACHE_DRAIN MB/s =="
    if [[ ! -x $stallfs || ! -e /dev/fuse ]]; then
        echo "fill-bench: no such disk here (stallfs not built, or no /dev/fuse): skipped"
    else
        measure_bare_flush fresh_cache "$mnt_cache" CACHE_FLUSH_MS
        stop_runs cache "$STOPS" 300 1200 fresh_cache "$mnt_cache/fill.dat"
        release_cache
    fi
fi

# --- stop seen from outside ----------------------------------------------------------------------

# The real window under Xvfb with the accessibility bus on, a fresh home whose settings fill the
# fresh volume; stop_outside.py clicks Start, then Stop OUTSIDE_MIN..OUTSIDE_MAX ms later with XTEST,
# and watches Start come back through AT-SPI (as pyatspi reads it, and asked each time) and on the
# screen. Appends to OUT_ATSPI, OUT_ASKED and OUT_SCREEN.
OUTSIDE_MIN=${OUTSIDE_MIN:-300}
OUTSIDE_MAX=${OUTSIDE_MAX:-1500}
OUT_ATSPI=() OUT_ASKED=() OUT_SCREEN=() OUT_ROWS=()
outside_runs() {
    local count=$1 i delay out home bytes
    display_start -screen 0 1280x1024x24 || return 1
    # OUTSIDE_WM=1: with a window manager (openbox), which gives the window the focus when clicked.
    if [[ ${OUTSIDE_WM:-0} == 1 ]]; then display_wm_start || return 1; fi
    local display=$DISPLAY bus_address
    bus_address=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3>"$work/outside-bus.pid" | head -n 1)
    outside_bus_pid=$(<"$work/outside-bus.pid")
    DISPLAY=$display DBUS_SESSION_BUS_ADDRESS=$bus_address /usr/libexec/at-spi-bus-launcher --launch-immediately \
        >"$work/a11y.log" 2>&1 &
    outside_a11y_pid=$!
    for i in $(seq 100); do
        outside_a11y_address=$(DBUS_SESSION_BUS_ADDRESS=$bus_address dbus-send --session --print-reply --dest=org.a11y.Bus \
            /org/a11y/bus org.a11y.Bus.GetAddress 2>/dev/null | awk -F'"' '/string/ { print $2 }') &&
            [[ -n $outside_a11y_address ]] && break
        sleep 0.05
    done
    for ((i = 1; i <= count; ++i)); do
        fresh_ext4 stop "$STOP_EXT4_SIZE"
        home=$(mktemp -d "$work/outside-home.XXXXXX")
        mkdir -p "$home/config/Tallowmere" "$home/runtime"
        chmod 700 "$home/runtime"
        # An empty size fills the volume.
        printf '[Tallowmere]\nOUTFILE=%s\nSIZE=\nSIZESCALE=1\n' "$mnt_ext4/fill.dat" >"$home/config/Tallowmere/Tallowmere.conf"
        # shellcheck disable=SC2086 # OUTSIDE_APP_ENV is NAME=VALUE words for env
        env DISPLAY="$display" DBUS_SESSION_BUS_ADDRESS="$bus_address" QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
            HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" ${OUTSIDE_APP_ENV:-} \
            "$BUILD/src/TALLOWMR" >"$work/outside-app.log" 2>&1 &
        outside_app_pid=$!
        # OUTSIDE_STRACE=DIR: every system call of the window, with times, to DIR/strace.N (a diagnosis,
        # not for the figures).
        local tracer=
        if [[ -n ${OUTSIDE_STRACE:-} ]]; then
            strace -f -tt -T -p "$outside_app_pid" -o "$OUTSIDE_STRACE/strace.$i" 2>/dev/null &
            tracer=$!
        fi
        delay=$((OUTSIDE_MIN + RANDOM % (OUTSIDE_MAX - OUTSIDE_MIN + 1)))
        out=$(DISPLAY=$display DBUS_SESSION_BUS_ADDRESS=$bus_address timeout 60 /usr/bin/python3 "$here/stop_outside.py" \
            "$outside_app_pid" "$delay" 2>"$work/err") || out=
        parse_kv "$out"
        # Buttons back means closed: by now the file has its length.
        bytes=$(stat -c %s "$mnt_ext4/fill.dat" 2>/dev/null || echo 0)
        stop_pid "$outside_app_pid"
        outside_app_pid=
        [[ -z $tracer ]] || { wait "$tracer" 2>/dev/null || true; echo "  (trace: $OUTSIDE_STRACE/strace.$i, Stop clicked at ${KV[clicked_wall]})"; }
        if [[ -n $out && ${KV[atspi_ms]} != nan && ${KV[screen_ms]} != nan ]]; then
            OUT_ATSPI+=("${KV[atspi_ms]}") OUT_ASKED+=("${KV[asked_ms]}") OUT_SCREEN+=("${KV[screen_ms]}")
            OUT_ROWS+=("${KV[stop_at_ms]} $bytes ${KV[atspi_ms]} ${KV[screen_ms]} ${KV[asked_ms]}")
            printf '  outside %2d  after %4.0f ms  %11d B written  AT-SPI %7.1f ms  screen %7.1f ms  (asked %7.1f ms)\n' \
                "$i" "${KV[stop_at_ms]}" "$bytes" "${KV[atspi_ms]}" "${KV[screen_ms]}" "${KV[asked_ms]}"
        else
            FAILED_RUNS=$((FAILED_RUNS + 1))
            echo "  outside $i after $delay ms: no answer ($out $(head -c 300 "$work/err"))"
        fi
        rm -rf "$home"
    done
    outside_down
    display_stop
}
if has_part stop; then
    echo
    echo "== stop seen from outside: $STOPS stops of TALLOWMR under Xvfb, clicked with XTEST, read through AT-SPI and the screen =="
    [[ -n $BARE_FLUSH_MS ]] || measure_bare_flush
    outside_runs "$STOPS"
    release "$mnt_ext4"
fi

# --- a stalling volume ---------------------------------------------------------------------------

STALL_GAP=
DEAD_GAP=
if has_part stall; then
    echo
    echo "== stall: the window's writer on a $STALL_SIZE volume that stalls ($STALL_COMMANDS) =="
    if [[ ! -x $stallfs || ! -e /dev/fuse ]]; then
        echo "fill-bench: no stalling volume here (stallfs not built, or no /dev/fuse): part skipped"
    else
        run_fill stall writer
        record stall writer 0 "to full"
        STALL_GAP=${KV[max_gap_ms]:-}
        stop_runs stall "$STALL_STOPS" 1000 3000 fresh_stall "$mnt_stall/fill.dat"
        # The volume stops answering at all (its daemon stopped, as a dead share or a wedged stick):
        # the window starts with its path saved, the units are clicked and the path edited, Start
        # and then Stop are clicked, for DEAD_MS.
        fresh_stall
        rm -f "$work/settings.ini"
        out=$(QT_QPA_PLATFORM=offscreen timeout "$FILL_TIMEOUT" "$bench_fill" "$mnt_stall/fill.dat" "$work/settings.ini" \
            --unanswering "$stall_pid" --for "$DEAD_MS" 2>"$work/err") || FAILED_RUNS=$((FAILED_RUNS + 1))
        kill -CONT "$stall_pid" 2>/dev/null || true
        parse_kv "$out"
        DEAD_GAP=${KV[dead_max_gap_ms]:-}
        printf '  unanswering %d ms: window shown in %s ms, longest event gap %s ms, Start in running state at once %s, Stop called it off %s, answers back %s ms after, file made %s\n' \
            "$DEAD_MS" "${KV[shown_ms]:--}" "${DEAD_GAP:--}" "${KV[start_running_state]:--}" "${KV[stop_called_off]:--}" \
            "${KV[answers_back_ms]:--}" "${KV[created]:--}"
        release_stall
    fi
fi

# --- random data ---------------------------------------------------------------------------------

RANDOM_GBS=()
if has_part random; then
    echo
    echo "== random data: --data random's generator filling a 1 MiB run buffer on one core =="
    for ((i = 1; i <= 3; ++i)); do
        parse_kv "$("$BUILD/bench/random_speed" 1)"
        RANDOM_GBS+=("${KV[gb_per_s]}")
        printf '  pass %d  %6.2f GB/s\n' "$i" "${KV[gb_per_s]}"
    done
fi

# --- start-up ------------------------------------------------------------------------------------

START_APP=() START_MIN=() START_TEXT=()
if has_part startup; then
    echo
    echo "== start-up under Xvfb: $LAUNCHES launches each, interleaved =="
    display_start -screen 0 1280x1024x24 || exit 1
    display=$DISPLAY
    # A session bus, as in any desktop session: without one, every Qt window that shows text or a
    # menu bar first tries to start a bus of its own (dbus-launch), which no user's launch pays.
    bus_address=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3>"$work/bus.pid" | head -n 1)
    bus_pid=$(<"$work/bus.pid")
    window_wait=$BUILD/bench/window_wait
    # launch TITLE PROGRAM [ARGS...]: seconds from launch until the window is mapped, in a fresh home.
    launch() {
        local title=$1 home t0
        shift
        home=$(mktemp -d "$work/home.XXXXXX")
        mkdir -p "$home/config" "$home/runtime"
        chmod 700 "$home/runtime"
        if [[ -x $window_wait ]]; then
            env DISPLAY="$display" DBUS_SESSION_BUS_ADDRESS="$bus_address" QT_QPA_PLATFORM=xcb HOME="$home" XDG_CONFIG_HOME="$home/config" \
                XDG_RUNTIME_DIR="$home/runtime" "$window_wait" "$title" 20000 "$@" 2>/dev/null
        else
            # Without libxcb: poll as fast as xdotool goes (a few ms a call) rather than --sync's 0.5 s steps.
            t0=$EPOCHREALTIME
            env DISPLAY="$display" DBUS_SESSION_BUS_ADDRESS="$bus_address" QT_QPA_PLATFORM=xcb HOME="$home" XDG_CONFIG_HOME="$home/config" \
                XDG_RUNTIME_DIR="$home/runtime" "$@" >/dev/null 2>&1 &
            local pid=$! shown=0
            for _ in $(seq 2000); do
                if DISPLAY=$display xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1; then
                    shown=1
                    break
                fi
            done
            ((shown)) && seconds_between "$t0" "$EPOCHREALTIME" && echo
            kill "$pid"
            wait "$pid" 2>/dev/null || true
            ((shown))
        fi
    }
    # Sets LAUNCHED to the seconds one launch of app, min or text took, or empty when no window came.
    launch_one() {
        LAUNCHED=
        case $1 in
        app) LAUNCHED=$(launch Tallowmere "$BUILD/src/TALLOWMR") ;;
        min) LAUNCHED=$(launch "Tallowmere bench minimal window" "$BUILD/bench/minimal_window") ;;
        text) LAUNCHED=$(launch "Tallowmere bench minimal text window" "$BUILD/bench/minimal_window" --text) ;;
        esac || LAUNCHED=
    }
    how="xdotool polling"
    if [[ -x $window_wait ]]; then how="MapNotify (window_wait)"; fi
    echo "  measured to: $how"
    # The first launch of each pays for cold font and library caches.
    for which in app min text; do launch_one "$which"; done
    ms_of() { awk -v s="$1" 'BEGIN { if (s == "") print "-"; else printf "%.1f", s * 1000 }'; }
    for ((i = 1; i <= LAUNCHES; ++i)); do
        # Each launch round starts with another program.
        case $((i % 3)) in
        1) order=(min app text) ;;
        2) order=(app text min) ;;
        0) order=(text min app) ;;
        esac
        declare -A this=()
        for which in "${order[@]}"; do
            launch_one "$which"
            this[$which]=$LAUNCHED
            if [[ -z $LAUNCHED ]]; then
                echo "  launch $i of $which: no window"
                FAILED_RUNS=$((FAILED_RUNS + 1))
                continue
            fi
            case $which in
            app) START_APP+=("$LAUNCHED") ;;
            min) START_MIN+=("$LAUNCHED") ;;
            text) START_TEXT+=("$LAUNCHED") ;;
            esac
        done
        printf '  launch %2d  TALLOWMR %6s ms   minimal window %6s ms   minimal window with text %6s ms\n' "$i" \
            "$(ms_of "${this[app]}")" "$(ms_of "${this[min]}")" "$(ms_of "${this[text]}")"
    done
    display_stop
    kill "$bus_pid" 2>/dev/null || true
    bus_pid=
fi

# --- results -------------------------------------------------------------------------------------

mib() { awk -v k="$1" 'BEGIN { if (k == "") print "-"; else printf "%.1f", k / 1024 }'; }
results=()
target() { # target PASS|MISS TEXT
    results+=("$(printf '%-4s  %s' "$1" "$2")")
}
check() { # check CONDITION-COMMAND... -- TEXT
    local text=${*: -1}
    if "${@:1:$#-1}"; then target PASS "$text"; else target MISS "$text"; fi
}

echo
echo "== results ($(date -u '+%Y-%m-%d %H:%M UTC'), $(awk -v a="$started_at" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.0f", b - a }') s) =="
declare -A MEDIAN
for volume in "${volumes[@]}"; do
    echo
    printf '%-6s %-15s %9s %19s %7s %7s %7s %14s %12s %10s\n' "$volume" filler "median" "min-max MB/s" "/dd" "/ref" \
        "/fio" "max left B" "cache MiB" "file MiB"
    for filler in "${filler_list[@]}"; do
        key=$volume/$filler
        read -r med lo hi < <(stats ${RATES[$key]:-})
        MEDIAN[$key]=$med
    done
    for filler in "${filler_list[@]}"; do
        fills_on "$volume" "$filler" || continue
        key=$volume/$filler
        read -r med lo hi < <(stats ${RATES[$key]:-})
        printf '%-6s %-15s %9s %19s %7s %7s %7s %14s %12s %10s\n' "" "$filler" "$med" "$lo-$hi" \
            "$(ratio "$med" "${MEDIAN[$volume/dd]:-nan}")" "$(ratio "$med" "${MEDIAN[$volume/reference]:-nan}")" \
            "$(ratio "$med" "${MEDIAN[$volume/fio]:-nan}")" \
            "${LEFT_MAX[$key]:--}" "$(mib "${CACHE_MAX[$key]:-}")" "$(mib "${FILE_MAX[$key]:-}")"
    done
done
if ((${#volumes[@]})); then
    echo
    echo "MB/s = bytes written / seconds, medians of $ROUNDS rounds$(has_part tmpfs && echo " ($TMPFS_ROUNDS on tmpfs)"); max left, cache (peak"
    echo "growth of Cached: in /proc/meminfo, which other work on the machine moves too) and file (peak of the"
    echo "fill file's own pages in the page cache) over every run, warm-up included. On tmpfs the file itself is"
    echo "page cache. fio (direct I/O, io_uring, 32 x 1 MiB in flight, one fsync at the end) is the disk's limit."
fi
if has_filler writer && ((${#volumes[@]})) || has_part stop; then
    printf '\nlongest gap between turns of the window'"'"'s event loop: %.1f ms (%s)\n' "$GAP_MAX" "${GAP_WHERE:--}"
fi

# report_stops KIND TITLE: p50/p99 of acknowledgement and buttons back; sets ACK99_<KIND>, BACK99_<KIND>.
report_stops() {
    local kind=$1 title=$2
    local -n acks=STOP_ACK_$kind backs=STOP_BACK_$kind
    ((${#acks[@]})) || return 0
    local a50 a99 b50 b99 rest
    read -r a50 rest < <(stats "${acks[@]}")
    a99=$(percentile 99 "${acks[@]}")
    read -r b50 rest < <(stats "${backs[@]}")
    b99=$(percentile 99 "${backs[@]}")
    printf '\n%s, %d stops: acknowledged p50 %.2f ms p99 %.2f ms; buttons back p50 %.2f ms p99 %.2f ms\n' \
        "$title" "${#acks[@]}" "$a50" "$a99" "$b50" "$b99"
    printf -v "ACK99_$kind" '%s' "$a99"
    printf -v "BACK99_$kind" '%s' "$b99"
}
report_stops ext4 "stop on ext4"
if [[ -n ${ACK99_ext4:-} ]]; then
    echo "  (from the moment Stop is queued: until its click was handled, Stop disabled and no further block"
    echo "   to come; and until the buttons are back, file flushed and closed. p99 is nearest-rank. One bare"
    echo "   flush of that volume took $BARE_FLUSH_MS ms.)"
fi
if ((${#OUT_ROWS[@]})); then
    echo
    echo "stop on ext4, run by run: in-process (bench_fill, offscreen, queued click; after = from the first block)"
    echo "and from outside (TALLOWMR under Xvfb, XTEST click; after = from the click on Start), ms:"
    printf '  %4s | %6s %12s %7s %8s | %6s %12s %8s %8s %8s\n' stop after bytes ack back after bytes AT-SPI screen asked
    for ((i = 0; i < ${#IN_ROWS[@]} || i < ${#OUT_ROWS[@]}; ++i)); do
        read -r d1 b1 a1 k1 <<<"${IN_ROWS[i]:-- - - -}"
        read -r d2 b2 a2 s2 q2 <<<"${OUT_ROWS[i]:-- - - - -}"
        printf '  %4d | %6s %12s %7s %8s | %6s %12s %8s %8s %8s\n' $((i + 1)) "$d1" "$b1" "$a1" "$k1" "${d2%.*}" "$b2" "$a2" "$s2" "$q2"
    done
    read -r o50 _ omax < <(stats "${OUT_ATSPI[@]}")
    read -r s50 _ smax < <(stats "${OUT_SCREEN[@]}")
    printf '\nstop on ext4 seen from outside, %d stops: AT-SPI p50 %.1f ms p99 %.1f ms max %.1f ms; screen p50 %.1f ms p99 %.1f ms max %.1f ms\n' \
        "${#OUT_ATSPI[@]}" "$o50" "$(percentile 99 "${OUT_ATSPI[@]}")" "$omax" "$s50" "$(percentile 99 "${OUT_SCREEN[@]}")" "$smax"
    OUT_MAX=$(maximum "${OUT_ATSPI[@]}" "${OUT_SCREEN[@]}")
    echo "  (from the release of the click on Stop until Start reads enabled through AT-SPI, as pyatspi reads it,"
    echo "   and until Start's rectangle on the screen differs from its disabled look; asked = GetState each time)"
fi
report_stops cache "stop on ext4 over a disk with a volatile cache ($CACHE_DRAIN MB/s drain)"
if [[ -n ${BACK99_cache:-} ]]; then
    echo "   (one bare flush of that volume took $CACHE_FLUSH_MS ms)"
fi
report_stops stall "stop on the stalling volume"
if [[ -n $STALL_GAP ]]; then
    printf 'longest gap between turns of the event loop while filling the stalling volume: %.1f ms\n' "$STALL_GAP"
fi
if [[ -n $DEAD_GAP ]]; then
    printf 'longest gap between turns of the event loop while the volume did not answer for %d ms: %.1f ms\n' \
        "$DEAD_MS" "$DEAD_GAP"
fi

if ((MEM_GROWTH >= 0)); then
    read -r r25 r50 r75 r100 <<<"$MEM_SAMPLES"
    mem_flat=$(printf '%s\n' $MEM_SAMPLES | awk '$1 >= 0 { if (min == "" || $1 < min) min = $1; if ($1 > max) max = $1; n++ }
        END { if (n < 4) print -1; else print max - min }')
    printf '\nmemory of the window, ext4 fill of %d B: idle %s MiB  peak %s MiB  growth %s MiB\n' \
        "$MEM_FILLED" "$(mib "$MEM_IDLE")" "$(mib "$MEM_PEAK")" "$(mib "$MEM_GROWTH")"
    printf '  resident at 25/50/75/100 %%: %s / %s / %s / %s MiB (spread %s MiB)\n' \
        "$(mib "$r25")" "$(mib "$r50")" "$(mib "$r75")" "$(mib "$r100")" "$(mib "$mem_flat")"
fi

if ((${#START_APP[@]} && ${#START_MIN[@]})); then
    app_med=$(median "${START_APP[@]}")
    min_med=$(median "${START_MIN[@]}")
    text_med=$(median "${START_TEXT[@]}")
    # The yardstick is a window that shows text, Japanese text at that: loading the fonts is a cost
    # every such window pays before it is mapped.
    start_ratio=$(ratio "$app_med" "$text_med")
    printf '\nstart-up to a mapped window, medians of %d launches:\n' "${#START_APP[@]}"
    printf '  TALLOWMR %s ms   minimal Qt window with one Japanese label %s ms   ratio %s\n' "$(ms_of "$app_med")" \
        "$(ms_of "$text_med")" "$start_ratio"
    printf '  (minimal window without text: %s ms; TALLOWMR / it: %s)\n' "$(ms_of "$min_med")" \
        "$(ratio "$app_med" "$min_med")"
fi

# --- targets -------------------------------------------------------------------------------------

if [[ -n ${MEDIAN[ext4/writer]:-} ]]; then
    r=$(ratio "${MEDIAN[ext4/writer]}" "${MEDIAN[ext4/dd]:-nan}")
    check at_least "$r" 1.5 "ext4: window's writer >= 1.5 x dd (${r})"
    r=$(ratio "${MEDIAN[ext4/writer]}" "${MEDIAN[ext4/reference]:-nan}")
    check at_least "$r" 0.9 "ext4: window's writer >= 0.9 x reference loop (${r})"
fi
if [[ -n ${MEDIAN[tmpfs/writer]:-} ]]; then
    r=$(ratio "${MEDIAN[tmpfs/writer]}" "${MEDIAN[tmpfs/dd]:-nan}")
    check at_least "$r" 1.0 "tmpfs: window's writer >= 1.0 x dd (${r})"
fi
if [[ -n ${MEDIAN[tmpfs/tallowmere-fill]:-} ]]; then
    r=$(ratio "${MEDIAN[tmpfs/tallowmere-fill]}" "${MEDIAN[tmpfs/dd]:-nan}")
    check at_least "$r" 0.95 "tmpfs: tallowmere-fill >= 0.95 x dd (${r})"
fi
# The window and the command line run the same engine: neither may lose speed to what is around it.
for volume in "${volumes[@]}"; do
    if [[ -n ${MEDIAN[$volume/writer]:-} && -n ${MEDIAN[$volume/tallowmere-fill]:-} ]]; then
        r=$(ratio "${MEDIAN[$volume/writer]}" "${MEDIAN[$volume/tallowmere-fill]}")
        check at_least "$r" 0.95 "$volume: window's writer >= 0.95 x tallowmere-fill (${r})"
    fi
done
if [[ -n ${MEDIAN[ext4/fio]:-} ]]; then
    w=$(ratio "${MEDIAN[ext4/writer]:-nan}" "${MEDIAN[ext4/fio]}")
    c=$(ratio "${MEDIAN[ext4/tallowmere-fill]:-nan}" "${MEDIAN[ext4/fio]}")
    lower=$(awk -v a="$w" -v b="$c" 'BEGIN { if (a == "nan" || b == "nan") print "nan"; else print (a < b) ? a : b }')
    check at_least "$lower" 0.95 "ext4: writer and tallowmere-fill >= 0.95 x the disk's limit (fio direct) (${w}, ${c})"
fi
if [[ -n ${SECONDS_MAX[ext4/allocate]:-} ]]; then
    a=${SECONDS_MAX[ext4/allocate]}
    check at_most "$a" 0.5 "ext4 $EXT4_SIZE: tallowmere-fill --allocate full in <= 0.5 s (slowest $a s)"
fi
if ((${#RANDOM_GBS[@]})); then
    g=$(median "${RANDOM_GBS[@]}")
    check at_least "$g" 2 "random data: >= 2 GB/s on one core (median $g GB/s)"
fi
for volume in "${volumes[@]}"; do
    for filler in writer tallowmere-fill allocate; do
        left=${LEFT_MAX[$volume/$filler]:-}
        if [[ -n $left ]]; then
            check at_most "$left" 1023 "$volume: $filler leaves < 1024 B available (at most $left B)"
        fi
    done
done
if [[ -n ${CACHE_MAX[ext4/writer]:-} ]]; then
    c=$(mib "${CACHE_MAX[ext4/writer]}")
    check at_most "$c" 64 "ext4: page cache held by the window's writer <= 64 MiB (peak +$c MiB)"
fi
for filler in writer tallowmere-fill; do
    if [[ -n ${FILE_MAX[ext4/$filler]:-} ]]; then
        c=$(mib "${FILE_MAX[ext4/$filler]}")
        check at_most "$c" 24 "ext4: the $filler's fill file holds <= 24 MiB of page cache (peak $c MiB)"
    fi
done
if [[ -n ${ACK99_ext4:-} ]]; then
    check at_most "$ACK99_ext4" 50 "stop on ext4: acknowledged p99 <= 50 ms (p99 $ACK99_ext4 ms)"
    limit=$(awk -v f="$BARE_FLUSH_MS" 'BEGIN { printf "%.2f", 250 + f }')
    check at_most "$BACK99_ext4" "$limit" \
        "stop on ext4: buttons back p99 <= 250 ms + one bare flush = $limit ms (p99 $BACK99_ext4 ms)"
fi
if [[ -n ${BACK99_cache:-} ]]; then
    limit=$(awk -v f="$CACHE_FLUSH_MS" 'BEGIN { printf "%.2f", 250 + f }')
    check at_most "$BACK99_cache" "$limit" \
        "stop on a disk with a volatile cache: buttons back p99 <= 250 ms + one bare flush = $limit ms (p99 $BACK99_cache ms)"
fi
if [[ -n ${OUT_MAX:-} ]]; then
    limit=$(awk -v f="$BARE_FLUSH_MS" 'BEGIN { printf "%.2f", 250 + f }')
    check at_most "$OUT_MAX" "$limit" \
        "Stop on ext4 seen from outside (AT-SPI and screen): every stop <= 250 ms + one bare flush = $limit ms (max $OUT_MAX ms)"
fi
if [[ -n ${ACK99_stall:-} ]]; then
    check at_most "$ACK99_stall" 50 "stop on the stalling volume: acknowledged p99 <= 50 ms (p99 $ACK99_stall ms)"
fi
if [[ -n $STALL_GAP ]]; then
    check at_most "$STALL_GAP" 50 "event loop on the stalling volume: no gap > 50 ms (longest $STALL_GAP ms)"
fi
if [[ -n $DEAD_GAP ]]; then
    check at_most "$DEAD_GAP" 50 "event loop while the volume does not answer: no gap > 50 ms (longest $DEAD_GAP ms)"
fi
if has_filler writer && ((${#volumes[@]})) || has_part stop; then
    check at_most "$GAP_MAX" 50 "event loop: no gap between turns > 50 ms (longest $GAP_MAX ms)"
fi
if ((MEM_GROWTH >= 0)); then
    g=$(mib "$MEM_GROWTH")
    check at_most "$g" 8 "memory: peak resident <= idle + 8 MiB (growth $g MiB)"
    check at_most "$(mib "$mem_flat")" 1 "memory: flat as the fill grows (25..100 % spread $(mib "$mem_flat") MiB <= 1 MiB)"
fi
if [[ -n ${start_ratio:-} ]]; then
    check at_most "$start_ratio" 1.1 "start-up: TALLOWMR <= 1.1 x minimal Qt window with one Japanese label (${start_ratio})"
fi

echo
echo "== targets =="
printf '%s\n' "${results[@]}"
if ((FAILED_RUNS)); then
    echo
    echo "fill-bench: $FAILED_RUNS run(s) failed; their figures are left out (see the messages above)"
fi

# --- an isolated run ------------------------------------------------------------------------------

# How soon COMMAND runs under tallowmere-fill --isolate (nothing is written, so the volume's size does
# not count), as root and as an ordinary user, beside --allocate and a written fill of the same 4 GiB
# ext4, each with --run. COMMAND prints the time it started; the launch time is taken just before.
ISOLATE_RUNS=${ISOLATE_RUNS:-$((QUICK == 1 ? 5 : 20))}
ISOLATE_USER=${ISOLATE_USER:-65534}
if has_part isolate; then
    echo
    echo "== isolate: from start to COMMAND running; --isolate $ISOLATE_RUNS times, the fills $ROUNDS times =="
    declare -A TO_COMMAND=()
    # to_command KEY ARGS...: runs ARGS --run date, adds the seconds until date ran to TO_COMMAND[KEY].
    to_command() {
        local key=$1 t0 ran
        shift
        t0=$EPOCHREALTIME
        if ran=$(timeout "$FILL_TIMEOUT" "$@" --run date +%s.%N 2>"$work/err") && [[ $ran =~ ^[0-9]+\.[0-9]+$ ]]; then
            TO_COMMAND[$key]+=" $(seconds_between "$t0" "$ran")"
        else
            FAILED_RUNS=$((FAILED_RUNS + 1))
            echo "fill-bench: $key: $* failed: $(head -c 300 "$work/err")" >&2
        fi
    }
    as_user=(setpriv --reuid="$ISOLATE_USER" --regid="$ISOLATE_USER" --clear-groups)
    chmod 711 "$work" # the user reaches the folders through it
    # A folder with some files in it, on the ext4 and on a tmpfs of 1 TiB (a size, not memory taken).
    fresh_ext4
    mkdir -p "$mnt_ext4/project/src" && cp -r "$root/src/." "$mnt_ext4/project/src/"
    chown -R "$ISOLATE_USER:$ISOLATE_USER" "$mnt_ext4/project"
    # Root refuses a folder another user owns: root's runs get a copy of their own.
    mkdir -p "$mnt_ext4/root-project/src" && cp -r "$root/src/." "$mnt_ext4/root-project/src/"
    release "$mnt_tmpfs"
    mount -t tmpfs -o size=1t,mode=1777 tmpfs "$mnt_tmpfs"
    mkdir -p "$mnt_tmpfs/project/src" && cp -r "$root/src/." "$mnt_tmpfs/project/src/"
    chown -R "$ISOLATE_USER:$ISOLATE_USER" "$mnt_tmpfs/project"
    for ((i = 1; i <= ISOLATE_RUNS; ++i)); do
        to_command "isolate, root, ext4 $EXT4_SIZE" "$tallowmere_fill" --quiet --isolate "$mnt_ext4/root-project" \
            --leave 1M
        to_command "isolate, user $ISOLATE_USER, ext4 $EXT4_SIZE" "${as_user[@]}" "$tallowmere_fill" --quiet \
            --isolate "$mnt_ext4/project" --leave 1M
        to_command "isolate, user $ISOLATE_USER, tmpfs 1 TiB" "${as_user[@]}" "$tallowmere_fill" --quiet \
            --isolate "$mnt_tmpfs/project" --leave 1M
    done
    release "$mnt_tmpfs"
    for ((i = 1; i <= ROUNDS; ++i)); do
        fresh_ext4
        to_command "--allocate, ext4 $EXT4_SIZE" "$tallowmere_fill" --quiet --allocate "$mnt_ext4/fill.dat"
        fresh_ext4
        to_command "written fill, ext4 $EXT4_SIZE" "$tallowmere_fill" --quiet "$mnt_ext4/fill.dat"
    done
    release "$mnt_ext4"
    echo
    printf '  %-32s %12s %21s\n' "to COMMAND running" "median ms" "min-max ms"
    for key in "isolate, root, ext4 $EXT4_SIZE" "isolate, user $ISOLATE_USER, ext4 $EXT4_SIZE" \
        "isolate, user $ISOLATE_USER, tmpfs 1 TiB" "--allocate, ext4 $EXT4_SIZE" "written fill, ext4 $EXT4_SIZE"; do
        # shellcheck disable=SC2086 # the figures are words
        read -r med lo hi < <(stats ${TO_COMMAND[$key]:-})
        printf '  %-32s %12s %21s\n' "$key" "$(awk -v s="$med" 'BEGIN { printf "%.1f", s * 1000 }')" \
            "$(awk -v a="$lo" -v b="$hi" 'BEGIN { printf "%.1f-%.1f", a * 1000, b * 1000 }')"
    done
    # shellcheck disable=SC2086 # the figures are words
    read -r med _ < <(stats ${TO_COMMAND["isolate, user $ISOLATE_USER, ext4 $EXT4_SIZE"]:-})
    verdict=MISS
    if awk -v s="$med" 'BEGIN { exit !(s != "nan" && s <= 0.05) }'; then verdict=PASS; fi
    printf '%-4s  %s\n' "$verdict" "isolate: COMMAND runs within 50 ms, as an ordinary user (median $(awk -v s="$med" 'BEGIN { printf "%.1f", s * 1000 }') ms)"
fi
