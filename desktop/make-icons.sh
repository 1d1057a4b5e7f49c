#!/bin/sh
# Renders the program icon's PNG sizes for the hicolor theme from the SVG drawings beside this
# script, into icons/vidora-N.png. The PNGs are committed, so a build needs no SVG renderer;
# run this again after changing a drawing (needs Debian's librsvg2-bin and imagemagick).
#
#   sh desktop/make-icons.sh
#
# 16 px has a drawing of its own and 22 and 24 px share one: the full drawing's seven
# perforations and thin edges would blur into grey at those sizes.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$here/icons"
for size in 16 22 24 32 48 64 128 256; do
    case $size in
        16) source=vidora-16.svg ;;
        22 | 24) source=vidora-24.svg ;;
        *) source=vidora.svg ;;
    esac
    out="$here/icons/vidora-$size.png"
    rsvg-convert --width "$size" --height "$size" --output "$out" "$here/$source"
    # Each must come out square at its size with an alpha channel.
    got=$(identify -format '%wx%h %A' "$out")
    case $got in
        "${size}x${size} True" | "${size}x${size} Blend") ;;
        *) echo "make-icons.sh: $out is $got" >&2; exit 1 ;;
    esac
done
