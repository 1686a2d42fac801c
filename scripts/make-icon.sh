#!/usr/bin/env bash
# Draws the updater's window icon and writes app/forms/corvane.ico (16, 24, 32, 48, 64
# and 256 pixels). Needs ImageMagick; run it again after changing the drawing.
#
# The drawing: a blue tile (the blue of the progress bar) holding a white arrow that
# points up over a progress track, so the icon reads "update" even at 16 pixels.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/app/forms/corvane.ico"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

convert -size 256x256 xc:none \
    -fill 'rgb(15,93,171)' -draw 'roundrectangle 8,8 247,247 44,44' \
    -fill 'rgb(68,69,73)' -draw 'roundrectangle 48,188 207,212 12,12' \
    -fill white -draw 'roundrectangle 48,188 150,212 12,12' \
    -fill white -draw 'polygon 128,32 200,110 154,110 154,164 102,164 102,110 56,110' \
    "$work/icon-256.png"

sizes=(16 24 32 48 64 256)
frames=()
for size in "${sizes[@]}"; do
    convert "$work/icon-256.png" -filter Lanczos -resize "${size}x${size}" "$work/icon-$size.png"
    frames+=("$work/icon-$size.png")
done
# No time stamps, so that running the script again gives the same file.
convert "${frames[@]}" -depth 8 -define png:exclude-chunks=date,time "$out"
identify "$out"
