#!/usr/bin/env bash
# Builds Tessary, installs its engine into the user's work folder and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh

# The program never copies its engine; the installation places it in WorkDir.
workdir="${XDG_DATA_HOME:-$HOME/.local/share}/Tessary"
mkdir -p "$workdir"
if [[ -f build/bin/TessaryEngine ]]; then install -m 755 build/bin/TessaryEngine "$workdir/TessaryEngine"; fi

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display found: running Tessary under Xvfb, a virtual screen of 1920x1080."
    exec xvfb-run -a -s "-screen 0 1920x1080x24" build/bin/Tessary
fi
exec build/bin/Tessary
