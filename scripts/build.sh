#!/usr/bin/env bash
# Configures and builds into build/ (Ninja, ccache when present), with the
# engine's HTTP library from scripts/mhd.sh. --configure-only stops before
# building (the benches build their own targets). Other arguments go to the
# CMake configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
configure_only=0
if [[ "${1:-}" == --configure-only ]]; then
    configure_only=1
    shift
fi
mhd=$(bash scripts/mhd.sh)
if [[ ! -f build/build.ninja ]] || ! grep -qxF "TESSARY_MHD:PATH=$mhd" build/CMakeCache.txt; then
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARY_WERROR=ON \
        -DTESSARY_MHD:PATH="$mhd" "$@" >/dev/null
fi
((configure_only)) || cmake --build build
