#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the program and the tests need, when any is missing.
#   scripts/deps.sh [PACKAGE...]     (default: the packages of the build, the program and the tests)
set -euo pipefail

updated=0
install_missing() { # install_missing PACKAGE...: installs those not installed yet
    local p missing=() sudo=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    ((updated)) || $sudo apt-get update -qq
    updated=1
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

if [ $# -gt 0 ]; then
    install_missing "$@"
    exit 0
fi
install_missing \
    cmake ninja-build g++ pkg-config \
    qt6-base-dev qt6-base-dev-tools libgl-dev libfontconfig-dev \
    fonts-noto-cjk \
    xvfb xauth xdotool openbox wmctrl x11-utils imagemagick \
    clang \
    dpkg-dev file appstream desktop-file-utils g++-mingw-w64-x86-64 help2man man-db \
    btrfs-progs quota util-linux e2fsprogs universal-ctags \
    libfuse3-dev fuse3
# The sanitizer and libFuzzer runtime of the clang that is installed, whatever its version.
install_missing "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
