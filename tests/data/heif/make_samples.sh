#!/usr/bin/env bash
# Writes the HEIF and AVIF samples beside this script: lines of text at
# 300 dpi as a phone or scanner app saves them (HEIC in 8 bits, AVIF in 10),
# a file of two pictures, and a picture too small to read.  Needs ImageMagick
# (with its HEIF coder) and heif-enc (libheif-examples).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
font=/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf

# text OUT WORDS: the words in 12 points on a white strip 5.5 inches wide.
text() {
  convert -density 300 -units PixelsPerInch -background white -fill black -font "$font" -pointsize 12 \
    -size 1650x caption:"$2" -bordercolor white -border 60 -colorspace Gray -depth 8 "$1"
}

text "$tmp/first.png" "The harbour office opens at nine. Ships that arrive after dark wait outside the breakwater until the pilot comes aboard."
text "$tmp/second.png" "Second picture: the ferry timetable changes in October, when the winter crossings begin."
convert "$tmp/first.png" -quality 50 "$here/words.heic"
convert "$tmp/second.png" -depth 10 -quality 60 "$here/words.avif"
heif-enc -q 40 -o "$here/two-pictures.heic" "$tmp/first.png" "$tmp/second.png" >/dev/null
convert -size 64x32 xc:white -fill black -draw "rectangle 8,8 56,24" -quality 50 "$here/tiny.heic"
