#!/usr/bin/env bash
# Builds the Debian package build/tessary_<version>_<arch>.deb from a clean
# Release build in build-release/ (build/ is left alone):
#
#   bash scripts/package.sh [--prebuilt BUILD_DIR] [--output DIR]
#
# --prebuilt packages what an existing, already built tree holds instead of
# building afresh (the package test uses the tree it was built in); --output
# puts the .deb elsewhere than build/.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

prebuilt=""
output="$source_dir/build"
while (($#)); do
    case "$1" in
    --prebuilt) prebuilt=$(realpath -e -- "${2:?--prebuilt needs a build folder}"); shift 2 ;;
    --output) output=$(realpath -m -- "${2:?--output needs a folder}"); shift 2 ;;
    *)
        echo "usage: bash scripts/package.sh [--prebuilt BUILD_DIR] [--output DIR]" >&2
        exit 2
        ;;
    esac
done

for tool in dpkg-deb dpkg-shlibdeps dpkg-buildflags cmake; do
    if ! command -v "$tool" >/dev/null; then
        echo "package.sh: $tool is missing; run bash scripts/deps.sh" >&2
        exit 1
    fi
done

version=$(sed -n 's/^project(Tessary VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
if [[ -z "$version" ]]; then
    echo "package.sh: no version found in CMakeLists.txt" >&2
    exit 1
fi

if [[ -n "$prebuilt" ]]; then
    build="$prebuilt"
    if [[ ! -x "$build/bin/Tessary" || ! -x "$build/bin/TessaryEngine" ]]; then
        echo "package.sh: $build holds no built program; build it first" >&2
        exit 1
    fi
else
    # A clean Release build with Debian's hardening flags and its -O2 (GCC 12
    # warns falsely about std::string at -O3, and warnings are errors here);
    # ccache (when installed) makes a rebuild of unchanged sources cheap.
    build="$source_dir/build-release"
    rm -rf "$build"
    export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
    strip_level() { sed -e 's/\(^\| \)-g\( \|$\)/ /g'; }
    cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS | strip_level)"
    cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS | strip_level)"
    ldflags=$(dpkg-buildflags --get LDFLAGS)
    mhd=$(bash scripts/mhd.sh)
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
        -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DBUILD_TESTING=OFF -DTESSARY_MHD:PATH="$mhd" \
        -DTESSARY_WERROR=ON -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
    cmake --build "$build" --target Tessary TessaryEngine pskl tessary_templates
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tessary-package.XXXXXX")
trap 'rm -rf -- "$work"' EXIT
stage="$work/root"
umask 022

DESTDIR="$stage" cmake --install "$build" --prefix /usr --strip >/dev/null
mapfile -t binaries < <(find "$stage/usr/lib/tessary" -type f -perm -u+x | sort)
# What Debian's own packaging strips besides: the compiler's notes.
strip --remove-section=.comment --remove-section=.note "${binaries[@]}"

# Debian's documentation: copyright, changelog, compressed manual page.
doc="$stage/usr/share/doc/tessary"
mkdir -p "$doc"
install -m 644 packaging/linux/copyright "$doc/copyright"
# The changelog follows the version, dated by the last commit when there is one.
date=$(git log -1 --format=%aD 2>/dev/null || true)
{
    printf 'tessary (%s) unstable; urgency=medium\n\n' "$version"
    printf '  * Tessary %s for Debian.\n\n' "$version"
    printf ' -- Tessary developers <developers@tessary.example>  %s\n' "${date:-$(date -R)}"
} | gzip -9n >"$doc/changelog.gz"
chmod 644 "$doc/changelog.gz"
gzip -9n "$stage/usr/share/man/man1/tessary.1"

# Depends: the shared libraries the binaries link, as dpkg-shlibdeps finds
# them, plus what the window loads at run time and no linker sees: Qt's
# platform plugins, and the fonts it asks for (Open Sans, else Noto Sans).
mkdir -p "$work/debian"
printf 'Source: tessary\n\nPackage: tessary\nArchitecture: any\n' >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O "${binaries[@]}" 2>"$work/shlibdeps.err") || {
    cat "$work/shlibdeps.err" >&2
    exit 1
}
shlibs=${shlibs#shlibs:Depends=}
if [[ -z "$shlibs" ]]; then
    echo "package.sh: dpkg-shlibdeps found no libraries" >&2
    exit 1
fi
depends="$shlibs, qt6-qpa-plugins, fonts-open-sans, fonts-noto-core"

installed_size=$(du -sk --apparent-size "$stage/usr" | cut -f1)
mkdir -p "$stage/DEBIAN"
cat >"$stage/DEBIAN/control" <<EOF
Package: tessary
Version: $version
Architecture: $arch
Maintainer: Tessary developers <developers@tessary.example>
Installed-Size: $installed_size
Depends: $depends
Recommends: xdg-utils, qt6-image-formats-plugins
Section: net
Priority: optional
Homepage: https://www.tessary.example/
Description: move files between this PC and a phone on the same network
 Tessary shows two QR codes. The phone scans one to open an upload page and
 sends files, which land in a folder of the user's documents and show in the
 window at once; the other opens a download page listing the files picked on
 the PC. The phone needs nothing but its web browser.
EOF
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
chmod 644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"

mkdir -p "$output"
deb="$output/tessary_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb.part" >/dev/null
mv -f -- "$deb.part" "$deb"
echo "$deb"
