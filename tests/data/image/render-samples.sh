#!/usr/bin/env bash
# Renders the OCR test pictures from the known texts beside this script into
# the folder named: several fonts and sizes at 300 and 150 dpi, grey noise,
# JPEG artefacts, pages turned by 90, 180 and 270 degrees, a 3 degree skew,
# two columns, a German page, a two-page TIFF, a scanned PDF (img2pdf)
# put between text pages, scans with a stamped line or a text layer, and a
# page in a font without a character map.  Needs ImageMagick, img2pdf and pdfunite.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: render-samples.sh OUTPUT-FOLDER}
mkdir -p "$out"
tmp=$(mktemp -d "$out/.render.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

dejavu=/usr/share/fonts/truetype/dejavu
urw=/usr/share/fonts/opentype/urw-base35

# page OUT FONT POINTS DPI TEXT-FILE [COLUMN-INCHES]: black text on white,
# wrapped to a letter page's width less 0.75 inch margins.
page() {
  local dest=$1 font=$2 points=$3 dpi=$4 text=$5 inches=${6:-70}
  local width=$((inches * dpi / 10)) margin=$((dpi * 3 / 4))
  convert -density "$dpi" -units PixelsPerInch -background white -fill black -font "$font" \
    -pointsize "$points" -size "${width}x" caption:"$(cat "$text")" \
    -bordercolor white -border "$margin" -colorspace Gray -depth 8 "$dest"
}

page "$tmp/serif-300.png" "$dejavu/DejaVuSerif.ttf" 12 300 "$here/english-1.txt"
page "$tmp/sans-300.png" "$urw/NimbusSans-Regular.otf" 10 300 "$here/english-2.txt"
page "$tmp/mono-300.png" "$urw/NimbusMonoPS-Regular.otf" 11 300 "$here/english-1.txt"
page "$tmp/times-150.png" "$urw/NimbusRoman-Regular.otf" 12 150 "$here/english-2.txt"
page "$tmp/sans-150.png" "$dejavu/DejaVuSans.ttf" 10 150 "$here/english-1.txt"
page "$tmp/german-300.png" "$dejavu/DejaVuSerif.ttf" 12 300 "$here/german.txt"

convert "$tmp/serif-300.png" -attenuate 0.6 +noise Gaussian -colorspace Gray "$tmp/noise-300.png"
convert "$tmp/sans-300.png" -quality 20 "$tmp/artefacts-300.jpg"
convert "$tmp/serif-300.png" -rotate 90 "$tmp/turned-90.png"
convert "$tmp/serif-300.png" -rotate 180 "$tmp/turned-180.png"
convert "$tmp/sans-300.png" -rotate 270 "$tmp/turned-270.png"
convert "$tmp/sans-300.png" -background white -rotate 3 +repage "$tmp/skew-3.png"

# Two columns of 3.1 inches with a half-inch gutter.
page "$tmp/left.png" "$dejavu/DejaVuSerif.ttf" 11 300 "$here/column-left.txt" 31
page "$tmp/right.png" "$dejavu/DejaVuSerif.ttf" 11 300 "$here/column-right.txt" 31
convert "$tmp/left.png" "$tmp/right.png" -background white -gravity north +append +repage "$tmp/columns-300.png"
rm "$tmp/left.png" "$tmp/right.png"

convert "$tmp/serif-300.png" "$tmp/times-150.png" -compress lzw "$tmp/pages.tif"

# A scan of two pages (one of them upside down) after the pages of a text PDF.
img2pdf -o "$tmp/scan.pdf" "$tmp/serif-300.png" "$tmp/turned-180.png"
pdfunite "$here/../convert/pdf/two_pages.pdf" "$tmp/scan.pdf" "$tmp/mixed.pdf"

# The same scan with a page and Bates number stamped on it, then with an
# invisible text layer of its whole text.
python3 "$here/stamp-scan.py" "$tmp/serif-300.png" 300 "$here/english-1.txt" "$tmp/stamped.pdf"

# A page set in a font whose glyphs map to no character.
python3 "$here/unmapped-fonts.py" "$here/english-1.txt" "$tmp/unmapped.pdf"

for f in "$tmp"/*; do mv -f "$f" "$out/"; done
touch "$out/rendered.stamp"
