#!/usr/bin/env bash
# Builds the Windows programs on Debian 12 from Debian's own packages: MinGW-w64, and Qt 6 for Windows
# cross-compiled, statically, from Debian's qt6-base source package with Debian's Qt 6 as the host tools.
#   scripts/build-windows.sh [BUILD_DIR]     (default: build-windows)
# Gives BUILD_DIR/TALLOWMR.exe and BUILD_DIR/tallowmere-fill.exe (single files: no DLL beyond Windows'
# own), and the test suites that scripts/check-windows.sh runs under Wine.
# The Qt build (about half an hour on two cores) is kept in TALLOWMERE_CACHE (default ~/.cache/tallowmere),
# so a second run builds only the program.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${1:-build-windows}
cache=${TALLOWMERE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tallowmere}
jobs=${JOBS:-$(nproc)}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The toolchain file a build folder was configured with, if any.
toolchain_of() { sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$1/CMakeCache.txt" 2>/dev/null; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

scripts/deps.sh cmake ninja-build perl dpkg-dev file g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
    qt6-base-dev qt6-base-dev-tools

# The host tools (moc, rcc, uic) must be the very version being cross-built.
qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
qt_upstream=${qt_version%%+*}
qt_upstream=${qt_upstream#*:}

# Everything that decides what the cached Qt is; a change to any of it builds Qt again.
qt_options=(
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DFEATURE_static_runtime=ON
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DQT_BUILD_EXAMPLES=OFF
    -DQT_BUILD_TESTS=OFF
    -DQT_BUILD_TOOLS_WHEN_CROSSCOMPILING=OFF
    -DFEATURE_pkg_config=OFF
    # Core, Gui, Widgets, Test (for the suites run under Wine) and the Windows platform plug-in only.
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF
    -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_vulkan=OFF -DFEATURE_testlib=ON
    -DFEATURE_androiddeployqt=OFF
    # Qt's own copies of the third-party libraries, built in.
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_freetype=OFF
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF
    -DFEATURE_freetype=ON -DFEATURE_harfbuzz=ON -DFEATURE_png=ON -DFEATURE_jpeg=OFF
    -DFEATURE_zstd=OFF -DFEATURE_icu=OFF -DFEATURE_direct2d=OFF
    # Debian's source leaves out the tablet (Wintab) headers.
    -DFEATURE_tabletevent=OFF
    # Without Direct2D, Qt 6.4 would still ask for the DirectWrite 3 font database it then leaves out.
    -DFEATURE_directwrite3=OFF
)
toolchain=$repo/cmake/mingw-w64-x86_64.cmake
recipe=$( (
    echo "$qt_version"
    printf '%s\n' "${qt_options[@]}"
    cat "$toolchain"
    x86_64-w64-mingw32-g++-posix -dumpfullversion
) | sha256sum | cut -c1-12)
qt=$cache/qt-$qt_upstream-mingw-static-$recipe

if [ -f "$qt/.complete" ]; then
    echo "== Qt $qt_upstream for Windows: cached in $qt =="
else
    echo "== Qt $qt_upstream for Windows: building into $qt (about half an hour on two cores) =="
    started=$(date +%s)
    src=$cache/src
    mkdir -p "$src"
    # apt-get source needs deb-src entries; Debian 12's deb822 sources get them beside their deb ones.
    if ! apt-get source --print-uris qt6-base="$qt_version" >/dev/null 2>&1; then
        for f in /etc/apt/sources.list.d/*.sources; do
            [ -f "$f" ] && $sudo sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
        done
        [ -f /etc/apt/sources.list ] && $sudo sed -i 's/^deb \(.*debian.*\)$/deb \1\ndeb-src \1/' /etc/apt/sources.list
        $sudo apt-get update -qq
    fi
    v=${qt_version#*:}
    tree=$src/qt6-base-${v%-*}
    if [ ! -f "$tree/.unpacked" ]; then
        rm -rf "$tree"
        (cd "$src" && apt-get source -qq qt6-base="$qt_version") || fail "apt-get source qt6-base=$qt_version"
        [ -d "$tree/src/3rdparty/freetype" ] || fail "no Qt source tree in $tree"
        touch "$tree/.unpacked"
    fi
    # The installed Qt refers to its toolchain file: keep a copy in the cache, not the repository's.
    # A build cut short goes on where it stopped, as long as the toolchain is the same.
    chain=$cache/toolchain-$(sha256sum <"$toolchain" | cut -c1-12).cmake
    cp "$toolchain" "$chain"
    work=$cache/qt-build
    [ "$(toolchain_of "$work")" = "$chain" ] || rm -rf "$work"
    rm -rf "$qt"
    nice cmake -S "$tree" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$chain" -DCMAKE_INSTALL_PREFIX="$qt" \
        "${qt_options[@]}" >"$cache/qt-configure.log" 2>&1 || fail "Qt configure failed; see $cache/qt-configure.log"
    nice cmake --build "$work" --parallel "$jobs" >"$cache/qt-build.log" 2>&1 ||
        fail "Qt build failed; see $cache/qt-build.log"
    cmake --install "$work" >"$cache/qt-install.log" 2>&1 || fail "Qt install failed; see $cache/qt-install.log"
    rm -rf "$work"
    touch "$qt/.complete"
    echo "Qt built in $(($(date +%s) - started)) s"
fi

echo "== Tallowmere for Windows in $build =="
started=$(date +%s)
# A build folder made against another Qt cannot be pointed at this one.
[ "$(toolchain_of "$build")" = "$qt/lib/cmake/Qt6/qt.toolchain.cmake" ] || rm -rf "$build"
TALLOWMERE_WINDOWS_QT=$qt cmake --preset windows -B "$build" >/dev/null
nice cmake --build "$build" --parallel "$jobs"
# The programs to hand out, without their symbol tables: half the size.
for exe in TALLOWMR.exe tallowmere-fill.exe; do
    x86_64-w64-mingw32-strip -o "$build/$exe" "$build/src/$exe"
done
echo "Program built in $(($(date +%s) - started)) s"

# Nothing but Windows' own DLLs may be needed: no Qt, libstdc++, libgcc or winpthread beside the .exe.
for exe in "$build/TALLOWMR.exe" "$build/tallowmere-fill.exe"; do
    for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p'); do
        case "${dll,,}" in
        api-ms-win-* | advapi32.dll | comdlg32.dll | d3d9.dll | d3d11.dll | dwmapi.dll | dwrite.dll | dxgi.dll | \
            gdi32.dll | imm32.dll | kernel32.dll | mpr.dll | msvcrt.dll | netapi32.dll | ole32.dll | oleaut32.dll | \
            setupapi.dll | shell32.dll | shlwapi.dll | user32.dll | userenv.dll | uxtheme.dll | version.dll | \
            winmm.dll | ws2_32.dll | wtsapi32.dll | authz.dll | cfgmgr32.dll | shcore.dll) ;;
        *) fail "$(basename "$exe") needs $dll, which Windows does not have" ;;
        esac
    done
    echo "$(basename "$exe"): $(stat -c %s "$exe") bytes; $(file -b "$exe")"
done
