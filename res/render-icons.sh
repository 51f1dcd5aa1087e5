#!/bin/sh
# Renders the application icon as hicolor PNGs for the desktop entry:
#
#   res/render-icons.sh OUTDIR
#
# writes OUTDIR/NxN/apps/zoemlijn.png for N = 16 22 24 32 48 64 128 256, ready
# to be copied under /usr/share/icons/hicolor. Size 16 comes from the drawing
# made for the 16-px grid. Needs rsvg-convert (Debian: librsvg2-bin).
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
out=$1
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v rsvg-convert >/dev/null 2>&1; then
    echo "$0: rsvg-convert not found (Debian package librsvg2-bin)" >&2
    exit 1
fi

for size in 16 22 24 32 48 64 128 256; do
    if [ "$size" -eq 16 ]; then
        svg=$here/icons/zoemlijn-16.svg
    else
        svg=$here/icons/zoemlijn.svg
    fi
    mkdir -p "$out/${size}x${size}/apps"
    rsvg-convert --width "$size" --height "$size" --format png \
        --output "$out/${size}x${size}/apps/zoemlijn.png" "$svg"
done
