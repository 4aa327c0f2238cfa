#!/bin/bash
# kill-stress.sh: kills tallowmere-fill with SIGKILL at random moments of --run, --hold and --top-up
# runs, COUNT times, on a volume of its own, and checks after each kill that the guardian left no fill
# file, no process holding the volume, and the space it had before.
#
#   scripts/kill-stress.sh [COUNT] [tmpfs|ext4|btrfs] [FILLER]     (as root: it mounts)
#
# tmpfs: a 32 MiB tmpfs under /tmp/guard-*. ext4 and btrfs: an image (32 MiB; btrfs 128 MiB, its
# smallest) on a loop device, the image itself kept in a tmpfs of its own, so nothing is written to
# this machine's disk. Both are checked with
# findmnt before anything is filled, and unmounted (and the loop device detached) at the end.
set -u

count=${1:-100}
kind=${2:-tmpfs}
filler=${3:-$(cd "$(dirname "$0")/.." && pwd)/build/src/tallowmere-fill}
[ "$(id -u)" = 0 ] || { echo "kill-stress: run as root (it mounts volumes)" >&2; exit 2; }
[ -x "$filler" ] || { echo "kill-stress: no filler at $filler" >&2; exit 2; }
case $kind in tmpfs | ext4 | btrfs) ;; *) echo "kill-stress: tmpfs, ext4 or btrfs, not $kind" >&2; exit 2 ;; esac

work=$(mktemp -d /tmp/guard-stress.XXXXXX) || exit 2
mnt=$work/mnt
images=$work/images
loop=
cleanup() {
    mountpoint -q "$mnt" && umount "$mnt"
    [ -n "$loop" ] && losetup -d "$loop"
    mountpoint -q "$images" && umount "$images"
    rmdir "$mnt" "$images" "$work" 2>/dev/null
}
trap cleanup EXIT
mkdir "$mnt" "$images" || exit 2

# Mounted, of the expected type, at this very path: else nothing is filled.
checked() {
    [ "$(findmnt -n -o TARGET --mountpoint "$1")" = "$1" ] && [ "$(findmnt -n -o FSTYPE --mountpoint "$1")" = "$2" ]
}

# Mounts with the arguments before the last two, then checks the mount point (the last but one) is of
# the type (the last one): else the script stops before anything is written.
mountChecked() {
    local type=${*: -1} point=${*: -2:1}
    if ! mount "${@:1:$#-1}" || ! checked "$point" "$type"; then
        echo "kill-stress: no $type volume at $point" >&2
        exit 2
    fi
}

if [ "$kind" = tmpfs ]; then
    mountChecked -t tmpfs -o size=32m tmpfs "$mnt" tmpfs
else
    size=32M
    [ "$kind" = btrfs ] && size=128M
    mountChecked -t tmpfs -o size=140m tmpfs "$images" tmpfs
    truncate -s "$size" "$images/$kind.img" || exit 2
    "mkfs.$kind" -q "$images/$kind.img" >/dev/null || exit 2
    loop=$(losetup -f --show "$images/$kind.img") || exit 2
    mountChecked -t "$kind" "$loop" "$mnt" "$kind"
fi

available() { sync -f "$mnt"; stat -f -c '%a' "$mnt"; }
# Processes with a descriptor or their working folder on the volume (this script's own never).
entries() { find "$mnt" -mindepth 1 -maxdepth 1 ! -name lost+found -printf '%f '; }
holders() { find /proc/[0-9]*/fd /proc/[0-9]*/cwd -maxdepth 1 -lname "$mnt*" 2>/dev/null | cut -d/ -f3 | sort -u; }

before=$(available)
modes=("--run sleep 3" "--hold 3" "--hold --top-up" "--inodes --hold 3")
left=0
slow=0
made=0
for ((i = 1; i <= count; ++i)); do
    mode=${modes[RANDOM % ${#modes[@]}]}
    # shellcheck disable=SC2086 # the mode is words
    "$filler" "$mnt/fill" --quiet $mode >/dev/null 2>&1 &
    pid=$!
    sleep "0.$(printf '%03d' $((RANDOM % 400)))"
    [ -e "$mnt/fill" ] && made=$((made + 1))
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    ok=
    for ((tick = 0; tick < 50; ++tick)); do
        if [ ! -e "$mnt/fill" ] && [ "$(available)" -ge "$before" ] && [ -z "$(holders)" ]; then
            ok=1
            break
        fi
        sleep 0.1
    done
    if [ -z "$ok" ]; then
        left=$((left + 1))
        echo "kill $i ($mode): left $(entries)available $(available) of $before blocks, held by $(holders | tr '\n' ' ')" >&2
        rm -rf "${mnt:?}/fill"
    elif [ "$tick" -ge 10 ]; then
        slow=$((slow + 1))
    fi
done
echo "kill-stress: $count kills on $kind ($made with the fill made): $left left something behind, $slow took over a second;" \
    "entries left: [$(entries)], $(available) of $before blocks available"
[ "$left" = 0 ]
