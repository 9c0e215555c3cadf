#!/usr/bin/env bash
# Builds and runs the window benchmarks under the offscreen platform. The 2000
# photos and the 4 GiB file are generated once into build/bench-data/ and
# reused by later runs. Arguments choose the parts: startup, photos, bigfiles.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/build.sh --configure-only
cmake --build build --target window_bench
screen="$(mktemp --suffix=.json)"
trap 'rm -f "$screen"' EXIT
echo '{"screens":[{"name":"S1","x":0,"y":0,"width":1920,"height":1080,"logicalDpi":96}]}' >"$screen"
QT_QPA_PLATFORM="offscreen:configfile=$screen" build/bench/window_bench "build/bench-data" "$@"
