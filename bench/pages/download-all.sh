#!/usr/bin/env bash
# "Download all" against the download of one file of the same bytes, with
# curl on loopback: FILES published files of FILE_MIB each as the streamed
# ZIP, and one file of FILES * FILE_MIB served by sendfile. The first ZIP of
# a publication also works out every CRC-32; later ones take them from the
# engine's cache, so both are shown. Alternating rounds, best of ROUNDS.
# Usage: bash bench/pages/download-all.sh   (FILES=200 FILE_MIB=3 ROUNDS=3)
set -euo pipefail
cd "$(dirname "$0")/../.."
FILES=${FILES:-200}
FILE_MIB=${FILE_MIB:-3}
ROUNDS=${ROUNDS:-3}
ENGINE=${ENGINE:-$PWD/build/bin/TessaryEngine}
KEY=benchz
[[ -x "$ENGINE" ]] || { echo "no engine at $ENGINE (build it first)" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tessary-zipbench-XXXXXX")
ENGINE_PID=""
cleanup() {
    [[ -n "$ENGINE_PID" ]] && { kill "$ENGINE_PID" 2>/dev/null || true; wait "$ENGINE_PID" 2>/dev/null || true; }
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/wdoc/d/dfiles" "$WORK/wdoc/u/ufiles" "$WORK/single/d/dfiles"
echo '<!DOCTYPE html><title>download</title>' > "$WORK/wdoc/d/$KEY.html"
for i in $(seq -w 1 "$FILES"); do
    head -c $((FILE_MIB * 1048576)) /dev/urandom > "$WORK/wdoc/d/dfiles/IMG_$i.JPG"
done
# The same bytes as one file, outside the published folder.
cat "$WORK"/wdoc/d/dfiles/IMG_*.JPG > "$WORK/whole.bin"
ln "$WORK/whole.bin" "$WORK/wdoc/d/whole.bin"

PORT=$((20000 + RANDOM % 40000))
(cd "$WORK" && exec "$ENGINE" "$KEY" ./wdoc --port "$PORT" --bind 127.0.0.1) &
ENGINE_PID=$!
BASE="http://127.0.0.1:$PORT"
for _ in $(seq 100); do curl -sf -o /dev/null "$BASE/d/$KEY.html" && break; sleep 0.05; done
COOKIE=$(curl -sf -D - -o /dev/null "$BASE/d/$KEY.html" | tr -d '\r' | sed -n 's/^[Ss]et-[Cc]ookie: \([^;]*\).*/\1/p')

speed() { curl -sS -f -o /dev/null -H "Cookie: $COOKIE" -w '%{speed_download} %{size_download}\n' "$1"; }
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (b > a ? b : a) }'; }
mibps() { awk -v s="$1" 'BEGIN { printf "%.0f", s / 1048576 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

read -r cold zip_bytes < <(speed "$BASE/d/all.zip")
# As the page does it: it asks the archive's size (HEAD) when it shows the
# button, and the engine works out the CRCs meanwhile; the tap a second later.
touch "$WORK"/wdoc/d/dfiles/*.JPG
curl -sf -I -o /dev/null -H "Cookie: $COOKIE" "$BASE/d/all.zip"
sleep 1
read -r tapped _ < <(speed "$BASE/d/all.zip")
single=0
warm=0
for _ in $(seq "$ROUNDS"); do
    read -r s _ < <(speed "$BASE/d/whole.bin")
    single=$(best "$single" "$s")
    read -r z _ < <(speed "$BASE/d/all.zip")
    warm=$(best "$warm" "$z")
done
echo "$FILES files of $FILE_MIB MiB; archive $zip_bytes bytes"
printf '%-46s %8s %8s %6s %s\n' "measure (MiB/s)" "zip" "single" "ratio" "target"
printf '%-46s %8s %8s %6s %s\n' "Download all, first (CRCs worked out)" "$(mibps "$cold")" "$(mibps "$single")" "$(ratio "$cold" "$single")" ">= 0.9"
printf '%-46s %8s %8s %6s %s\n' "Download all, 1 s after the page's HEAD" "$(mibps "$tapped")" "$(mibps "$single")" "$(ratio "$tapped" "$single")" ">= 0.9"
printf '%-46s %8s %8s %6s %s\n' "Download all, again (CRCs from the cache)" "$(mibps "$warm")" "$(mibps "$single")" "$(ratio "$warm" "$single")" ">= 0.9"
