#!/usr/bin/env bash
# Builds the artwork generator and rewrites the window's bitmaps from their
# SVG sources; enlarged PNG previews go to build/art-preview/ for a look.
set -euo pipefail
cd "$(dirname "$0")/../.."

# A build of its own: the main build embeds the bitmaps and cannot configure
# without them.
build=build/artgen
[[ -f "$build/build.ninja" ]] || cmake -S tools/artgen -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target artgen

art=src/app/art
preview=build/art-preview
mkdir -p "$preview"

# source, bitmap, the size the window's layout gives the picture, and the
# preview's enlargement, and the colour of the panel it sits on. Both pages
# show the same hand-and-phone drawing, so Image4 shares its source; the
# PC-to-phone page's panel has the desktop's default panel colour.
while read -r source name width height scale background; do
    QT_QPA_PLATFORM=offscreen "$build/artgen" "$art/$source.svg" "$art/$name.bmp" \
        "$width" "$height" --background "$background" --preview "$preview/$name.png" "$scale"
    echo "$art/$name.bmp: ${width} x ${height} from $source.svg"
done <<'PICTURES'
welcome-artwork Image1 566 384 2 #FFFFFF
top-band Image2 1324 145 1 #FFFFFF
hand-with-phone Image3 80 109 4 #FFFFFF
hand-with-phone Image4 80 109 4 #F0F0F0
phone-badge Image5 50 48 6 #FFFFFF
PICTURES

# The program's icon for the desktop's icon theme and the window, at the
# theme's sizes, transparent around its rounded tile.
for size in 48 128 256; do
    QT_QPA_PLATFORM=offscreen "$build/artgen" "$art/icon/tessary.svg" "$art/icon/tessary-$size.png" \
        "$size" "$size"
    echo "$art/icon/tessary-$size.png: $size x $size from icon/tessary.svg"
done
