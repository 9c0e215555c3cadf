#!/usr/bin/env bash
# Cross-builds the Windows programs and their tests into build-win/ with
# mingw-w64. The libraries Debian ships only for Linux are built once from
# Debian's source packages (zxing-cpp from ../shared/third-party/) into a
# cache outside the source tree, keyed by their versions, and reused.
#
# The window comes with them once Qt for Windows is in the cache
# (scripts/windows/qt.sh builds it; scripts/windows/package.sh runs that).
#
# Extra arguments go to the project's CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

triple=x86_64-w64-mingw32
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
curl_version=7.88.1
gtest_version=1.12.1
zxing_version=1.4.0
zxing_sha256=62c68fc5eb0c0cb1c882b220e923341ebe1cc96ac3f653cd16ee53078ff1cadf
third_party="${TESSARY_THIRD_PARTY_DIR:-$root/../shared/third-party}"

# The dependency build is heavy; it yields to whatever else runs here.
jobs="${TESSARY_WIN_JOBS:-2}"
run_low() { nice -n 10 "$@"; }

# debian_source: Debian's source package, unpacked and checked; mhd_source
# and mhd_version: the engine's HTTP library, patched.
source "$root/scripts/debian-source.sh"

# Raise when the way the dependencies are built changes (options, toolchain
# flags), so every machine builds them again.
recipe=2
compiler_id=$("$triple-g++-posix" --version | head -n1)
key_text="mhd $mhd_version (patch $mhd_patch_id); curl $curl_version; gtest $gtest_version; zxing $zxing_version; $compiler_id; recipe $recipe"
key="mhd$mhd_version-curl$curl_version-gtest$gtest_version-zxing$zxing_version-$(printf '%s' "$key_text" | sha256sum | cut -c1-12)"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/tessary-win/$key"
prefix="$cache/prefix"

launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(ccache); fi
cmake_launcher=()
if ((${#launcher[@]})); then
    cmake_launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

build_dependencies() {
    local started=$SECONDS
    local work="$cache/work"
    rm -rf "$work" "$prefix"
    mkdir -p "$work" "$prefix"

    # libmicrohttpd: the engine's HTTP library.
    local mhd
    mhd=$(mhd_source "$work/mhd")
    mhd_build "$mhd" "$prefix" --host="$triple" \
        CC="${launcher[*]} $triple-gcc-posix" AR="$triple-gcc-ar-posix" \
        RANLIB="$triple-gcc-ranlib-posix" CFLAGS="-O2"

    # libcurl: the update download, with Windows' own TLS (Schannel) and
    # nothing but HTTP and HTTPS. Built with its CMake files: Debian's
    # packaging patches change its automake files, which would need the
    # autotools to regenerate.
    local curl curl_started=$SECONDS
    curl=$(debian_source curl "$curl_version" "$work/curl")
    run_low cmake -S "$curl" -B "$work/curl-build" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" "${cmake_launcher[@]}" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
        -DPICKY_COMPILER=OFF \
        -DHTTP_ONLY=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
        -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none \
        -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF \
        -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBPSL=OFF \
        -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF \
        -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DENABLE_UNIX_SOCKETS=OFF \
        -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_HSTS=ON -DCURL_DISABLE_COOKIES=ON \
        -DCURL_DISABLE_DOH=ON -DCURL_DISABLE_MIME=ON -DCURL_DISABLE_NETRC=ON \
        -DCURL_DISABLE_NTLM=ON >/dev/null
    run_low cmake --build "$work/curl-build" -j "$jobs" >/dev/null
    cmake --install "$work/curl-build" >/dev/null
    echo "libcurl $curl_version built in $((SECONDS - curl_started)) s"

    # GoogleTest and GoogleMock.
    local gtest
    gtest=$(debian_source googletest "$gtest_version" "$work/gtest")
    run_low cmake -S "$gtest" -B "$work/gtest-build" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" "${cmake_launcher[@]}" \
        -DBUILD_SHARED_LIBS=OFF -DINSTALL_GTEST=ON -DBUILD_GMOCK=ON >/dev/null
    run_low cmake --build "$work/gtest-build" -j "$jobs" >/dev/null
    cmake --install "$work/gtest-build" >/dev/null

    # zxing-cpp: the QR writer the Linux build gets from libzxing-dev.
    local archive="$third_party/zxing-cpp-$zxing_version.tar.gz"
    if [[ ! -f "$archive" ]]; then
        echo "zxing-cpp $zxing_version not found at $archive (set TESSARY_THIRD_PARTY_DIR)" >&2
        return 1
    fi
    if ! echo "$zxing_sha256  $archive" | sha256sum --check --status; then
        echo "zxing-cpp archive $archive does not have the expected checksum $zxing_sha256" >&2
        return 1
    fi
    mkdir -p "$work/zxing"
    tar -xzf "$archive" -C "$work/zxing"
    local zxing
    zxing=$(find "$work/zxing" -mindepth 1 -maxdepth 1 -type d | head -n1)
    run_low cmake -S "$zxing" -B "$work/zxing-build" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$prefix" "${cmake_launcher[@]}" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_WRITERS=ON -DBUILD_READERS=ON \
        -DBUILD_EXAMPLES=OFF -DBUILD_BLACKBOX_TESTS=OFF -DBUILD_UNIT_TESTS=OFF \
        -DBUILD_PYTHON_MODULE=OFF >/dev/null
    run_low cmake --build "$work/zxing-build" -j "$jobs" >/dev/null
    cmake --install "$work/zxing-build" >/dev/null

    rm -rf "$work"
    printf '%s\n' "$key_text" >"$cache/versions.txt"
    echo "Windows dependencies built in $((SECONDS - started)) s into $cache"
    touch "$cache/complete"
}

if [[ ! -f "$cache/complete" ]]; then
    echo "Building the Windows dependencies once into $cache"
    build_dependencies
fi

# The project; its test programs run under Wine (cmake/WineEmulator.cmake).
build=build-win
# The window comes with them whenever Qt for Windows is in the cache.
qt_prefix=$(bash scripts/windows/qt.sh --if-built) || qt_prefix=""
if [[ ! -f "$build/build.ninja" ]] ||
    ! grep -qxF "TESSARY_WIN_DEPS:PATH=$prefix" "$build/CMakeCache.txt" ||
    ! grep -qxF "TESSARY_WIN_QT:PATH=$qt_prefix" "$build/CMakeCache.txt"; then
    # -O2 as on Linux: GCC 12 warns falsely about std::string copies at -O3.
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARY_WERROR=ON \
        -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$prefix" \
        -DTESSARY_WIN_DEPS:PATH="$prefix" -DTESSARY_WIN_QT:PATH="$qt_prefix" "$@"
fi
cmake --build "$build"
