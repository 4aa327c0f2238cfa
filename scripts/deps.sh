#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the program and the tests need, when any is missing.
#   scripts/deps.sh [PACKAGE...]     (default: the packages of the build, the program and the tests)
set -euo pipefail

packages=("$@")
[ ${#packages[@]} -gt 0 ] || packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libfontconfig-dev
    fonts-noto-cjk
    xvfb xauth xdotool openbox wmctrl x11-utils imagemagick
    clang libclang-rt-14-dev
    dpkg-dev file appstream desktop-file-utils g++-mingw-w64-x86-64 help2man man-db
    btrfs-progs quota util-linux e2fsprogs
    libfuse3-dev fuse3
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
