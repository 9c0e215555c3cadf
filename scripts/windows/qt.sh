#!/usr/bin/env bash
# Cross-builds Qt 6 for Windows (Core, Gui, Widgets, the Windows platform
# plugin and the GIF, ICO and JPEG image plugins; PNG is built in) from
# Debian's qt6-base source with mingw-w64, against the host tools of the same
# Qt version, into a cache outside the tree, once. Then the picture readers of
# qt6-imageformats (WebP, TIFF, TGA, WBMP, ICNS, with their bundled libwebp
# and libtiff) into the same prefix: the file views show thumbnails of those
# on Linux (qt6-image-formats-plugins), and phones send WebP. Prints the prefix.
#
# Shared libraries, as Qt's own Windows deployment lays them out: Qt is under
# the LGPL, which lets a user replace the Qt libraries a program runs with;
# DLLs beside the program keep that possible without shipping object files.
#
# With --if-built it only prints the prefix once Qt itself is built (the
# picture readers may still be missing), and fails quietly before
# (scripts/windows/build.sh asks so).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
source "$root/scripts/debian-source.sh"

triple=x86_64-w64-mingw32
qt_version=6.4.2
jobs="${TESSARY_WIN_JOBS:-2}"

# Raise when the configure options or the toolchain change.
recipe=1
compiler_id=$("$triple-g++-posix" --version | head -n1)
host_qt=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null || true)
key_text="qtbase $qt_version; host tools $host_qt; $compiler_id; recipe $recipe"
key="qt$qt_version-$(printf '%s' "$key_text" | sha256sum | cut -c1-12)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/tessary-win/$key"
prefix="$cache/prefix"

# The picture readers are a stage of their own, marked apart, so that adding
# or changing them never throws away the qtbase build. Raise when its options
# change.
imageformats_recipe=1
imageformats_done="$cache/imageformats-$imageformats_recipe.complete"

if [[ -f "$cache/complete" && -f "$imageformats_done" ]]; then
    printf '%s\n' "$prefix"
    exit 0
fi
if [[ "${1:-}" == "--if-built" ]]; then
    # The window builds without the extra readers; it shows fewer thumbnails.
    [[ -f "$cache/complete" ]] && printf '%s\n' "$prefix"
    [[ -f "$cache/complete" ]]
    exit
fi

if [[ "$host_qt" != "$qt_version"* ]]; then
    echo "The host Qt tools (qt6-base-dev-tools) are '$host_qt', not $qt_version: bash scripts/deps.sh installs them" >&2
    exit 1
fi

# One build at a time (a second run waits, then finds the cache made).
mkdir -p "$(dirname "$cache")"
exec 9>"$(dirname "$cache")/qt.lock"
flock 9
if [[ -f "$cache/complete" && -f "$imageformats_done" ]]; then
    printf '%s\n' "$prefix"
    exit 0
fi

# The sources are unpacked and built in one folder whatever the key, so the
# compile commands stay the same from one recipe to the next and ccache
# answers for every file a recipe change does not touch: a rebuild then costs
# minutes instead of the first build's most of an hour.
work_root="$(dirname "$cache")/qt-work"

# Runs a step with its output in a log of the cache; a failure shows the
# log's end and stops the script.
logged() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || {
        tail -n 40 "$log" >&2
        exit 1
    }
}

launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

build_qtbase() {
    local started=$SECONDS
    local work="$work_root/qtbase"
    rm -rf "$work" "$prefix"
    mkdir -p "$work" "$prefix"
    echo "Building Qt $qt_version for Windows once into $cache (about 40 minutes on 2 cores)" >&2

    local src
    src=$(debian_source qt6-base "$qt_version" "$work") || exit 1

    # Debian's repack leaves out src/3rdparty/wintab, so tablet events are off;
    # OpenGL is off through its input (a bare FEATURE_opengl=OFF leaves dynamic GL
    # on, and the Windows platform plugin then does not compile).
    logged "$cache/configure.log" nice -n 5 cmake -S "$src" -B "$work/build" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "${launcher[@]}" \
        -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQt6HostInfo_DIR=/usr/lib/x86_64-linux-gnu/cmake/Qt6HostInfo \
        -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
        -DFEATURE_tabletevent=OFF -DINPUT_opengl=no \
        -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF \
        -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_testlib=OFF \
        -DFEATURE_xml=OFF -DINPUT_openssl=no -DFEATURE_icu=OFF \
        -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
        -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
        -DFEATURE_system_doubleconversion=OFF
    logged "$cache/build.log" nice -n 5 cmake --build "$work/build" -j "$jobs"
    cmake --install "$work/build" >/dev/null
    rm -rf "$work"
    printf '%s\n' "$key_text" >"$cache/versions.txt"
    touch "$cache/complete"
    echo "Qt $qt_version for Windows built in $((SECONDS - started)) s" >&2
}

build_imageformats() {
    local started=$SECONDS
    local work="$work_root/imageformats"
    rm -rf "$work"
    mkdir -p "$work"
    echo "Building Qt's picture readers for Windows once into $prefix" >&2
    local src
    src=$(debian_source qt6-imageformats "$qt_version" "$work") || exit 1
    # The Qt just built, through its own toolchain file, which chain-loads
    # this project's.
    logged "$cache/imageformats-configure.log" nice -n 5 cmake -S "$src" -B "$work/build" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" "${launcher[@]}" \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
        -DFEATURE_system_webp=OFF -DFEATURE_system_tiff=OFF \
        -DFEATURE_jasper=OFF -DFEATURE_mng=OFF
    logged "$cache/imageformats-build.log" nice -n 5 cmake --build "$work/build" -j "$jobs"
    cmake --install "$work/build" >/dev/null
    rm -rf "$work"
    touch "$imageformats_done"
    echo "Qt's picture readers for Windows built in $((SECONDS - started)) s" >&2
}

if [[ ! -f "$cache/complete" ]]; then
    build_qtbase
fi
build_imageformats
printf '%s\n' "$prefix"
