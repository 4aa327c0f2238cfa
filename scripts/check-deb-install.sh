#!/usr/bin/env bash
# Installs the Debian package into a fresh, minimal Debian 12 tree (debootstrap) and starts both
# programs there: proof that the package declares everything it needs. Takes a few minutes and
# downloads the base system, so it is not part of the test command. Needs root.
#   scripts/check-deb-install.sh path/to/tallowmere_*.deb
set -euo pipefail
deb=$(readlink -f "$1")
root=$(mktemp -d /var/tmp/tallowmere-deb12-XXXXXX)
cleanup() {
    mountpoint -q "$root/proc" && umount "$root/proc"
    rm -rf "$root"
}
trap cleanup EXIT
command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap
debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
cp "$deb" "$root/tmp/"
cp /etc/resolv.conf "$root/etc/"
mount --bind /proc "$root/proc"
chroot "$root" bash -euc '
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "/tmp/$(basename "$1")" man-db >/dev/null
    tallowmere-fill --version
    man -P cat tallowmere-fill 2>/dev/null | grep -q "EXIT STATUS" || { echo "man tallowmere-fill shows no page"; exit 1; }
    mkdir -p /tmp/home
    status=0
    HOME=/tmp/home QT_QPA_PLATFORM=offscreen timeout 5 TALLOWMR 2>/dev/null || status=$?
    [ "$status" -eq 124 ] || { echo "TALLOWMR ended with $status instead of running"; exit 1; }
    [ -e /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqxcb.so ] || { echo "no xcb platform plugin"; exit 1; }
    fc-list | grep -q "Noto Sans CJK" || { echo "no Japanese font"; exit 1; }
    echo "installed and started on a fresh Debian 12"
' _ "$deb"
