#!/usr/bin/env bash
# Upload page against curl: 200 photos of 3 MB through chromium on loopback.
# Needs a build (TessaryEngine, pages_webroot, the templates) and the browser
# test tools (scripts/deps.sh). FILES, FILE_SIZE, ROUNDS and TARGET override.
set -euo pipefail
cd "$(dirname "$0")/../.."
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
exec node bench/pages/upload.mjs "$@"
