#!/usr/bin/env bash
# Release checks: the install tree, the desktop entry and AppStream metadata, the Debian package and
# its declared dependencies, and a compile-only check of the Windows parts with MinGW-w64.
#   scripts/check-release.sh [BUILD_DIR]     (default: build, configured and built by scripts/test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d /tmp/tallowmere-release-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

echo "== install tree =="
# Installing writes the build's install_manifest.txt, the list a user uninstalls their own install by.
# It is moved aside, not copied: after a 'sudo cmake --install' it belongs to root and could not be
# written over, while the build folder still can be.
manifest=$build/install_manifest.txt
saved=$manifest.saved-$$
[ -f "$manifest" ] && mv "$manifest" "$saved"
restore_manifest() {
    if [ -f "$saved" ]; then mv -f "$saved" "$manifest"; else rm -f "$manifest"; fi
}
trap 'restore_manifest; rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
id=$(sed -n 's/^TALLOWMERE_APP_ID:INTERNAL=//p' "$build/CMakeCache.txt")
[ -n "$id" ] || fail "no application id in $build/CMakeCache.txt"
for f in bin/TALLOWMR bin/tallowmere-fill "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" \
    "share/icons/hicolor/32x32/apps/$id.png" "share/icons/hicolor/64x64/apps/$id.png" \
    "share/icons/hicolor/scalable/apps/$id.svg" share/man/man1/tallowmere-fill.1.gz \
    share/bash-completion/completions/tallowmere-fill; do
    [ -f "$work/prefix/$f" ] || fail "$f is not installed"
done
# The manual page renders and holds the tables scripts rely on; the completion completes.
page=$(man -l "$work/prefix/share/man/man1/tallowmere-fill.1.gz" 2>/dev/null | col -b | tr -s "[:space:]" " ")
for section in "EXIT STATUS" "JSON SUMMARY" "ENVIRONMENT" "bytes_available_before" "space to leave not kept"; do
    grep -q "$section" <<<"$page" || fail "the manual page lacks '$section'"
done
completed=$(bash -c 'source "$1"; COMP_WORDS=(tallowmere-fill --pro); COMP_CWORD=1; _tallowmere_fill
    printf "%s\n" "${COMPREPLY[@]}"; COMP_WORDS=(tallowmere-fill --data ""); COMP_CWORD=2; _tallowmere_fill
    printf "%s\n" "${COMPREPLY[@]}"' _ "$work/prefix/share/bash-completion/completions/tallowmere-fill")
[ "$completed" = $'--progress\nones\nrandom' ] || fail "bash completion gave: $completed"
# An icon theme folder promises the size it is named after.
for size in 32 64; do
    file "$work/prefix/share/icons/hicolor/${size}x${size}/apps/$id.png" | grep -q "PNG image data, $size x $size," ||
        fail "the ${size}x${size} icon is not $size by $size pixels"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
"$work/prefix/bin/tallowmere-fill" --version | grep -qx "tallowmere-fill $version" || fail "installed tallowmere-fill does not run"
desktop-file-validate "$work/prefix/share/applications/$id.desktop"
appstreamcli validate --no-net "$work/prefix/share/metainfo/$id.metainfo.xml"

echo "== Debian package =="
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/tallowmere_*_amd64.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for d in libqt6widgets6 libqt6gui6 libqt6core6 fonts-noto-cjk; do
    grep -q "$d" <<<"$depends" || fail "the package does not depend on $d"
done
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/TALLOWMR ./usr/bin/tallowmere-fill "./usr/share/applications/$id.desktop" \
    ./usr/share/man/man1/tallowmere-fill.1.gz ./usr/share/bash-completion/completions/tallowmere-fill; do
    grep -q " $f\$" <<<"$contents" || fail "the package lacks $f"
done

echo "== Windows parts (MinGW-w64, compile only): the platform files a Windows build compiles =="
qt=$(qmake6 -query QT_INSTALL_HEADERS 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt6)
for f in src/platform/*_win.cpp src/platform/isolate_none.cpp src/ui/fontwarmup_none.cpp; do
    x86_64-w64-mingw32-g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -Isrc -I"$build/src/generated" \
        -I"$qt" -I"$qt/QtCore" "$f" || fail "$f does not compile for Windows"
    echo "ok $f"
done
x86_64-w64-mingw32-windres -i "$build/src/generated/tallowmere.rc" -o "$work/tallowmere-rc.o" ||
    fail "the version resource does not compile"
echo "ok tallowmere.rc"
