#!/usr/bin/env bash
# Makes the Windows installer build-win/Tessary-Setup-<version>.exe: builds Qt
# for Windows into the dependency cache when it is not there yet (once, about
# 40 minutes on 2 cores), then the programs into build-win/, lays out the
# program folder as it is installed (build-win/dist/, stripped) and packs it
# with NSIS (packaging/windows/Tessary.nsi).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
triple=x86_64-w64-mingw32

for tool in makensis cmake "$triple-strip"; do
    if ! command -v "$tool" >/dev/null; then
        echo "package.sh: $tool is missing; run bash scripts/deps.sh" >&2
        exit 1
    fi
done

bash scripts/windows/qt.sh >/dev/null
bash scripts/windows/build.sh
if [[ ! -f build-win/bin/Tessary.exe ]]; then
    echo "package.sh: build-win has no window; Qt for Windows was not found" >&2
    exit 1
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win/CMakeCache.txt)
build_number=$(sed -n 's/.*ProgramBuild = "\([0-9]*\)".*/\1/p' src/app/MainUnit.h)
dist="$root/build-win/dist"
rm -rf "$dist"
cmake --install build-win --prefix "$dist" >/dev/null
# Qt's DLLs and the programs carry symbols no user needs (59 MB unstripped).
find "$dist" -type f \( -name '*.exe' -o -name '*.dll' \) -exec "$triple-strip" --strip-unneeded {} +

setup="$root/build-win/Tessary-Setup-$version.exe"
makensis -V2 -DDIST="$dist" -DOUTFILE="$setup" -DVERSION="$version" -DBUILD="$build_number" \
    packaging/windows/Tessary.nsi
echo "$setup ($(du -h "$setup" | cut -f1); program folder $(du -sh "$dist" | cut -f1))"
