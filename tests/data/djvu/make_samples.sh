#!/bin/sh
# Writes the DjVu test samples of this folder with djvulibre's own tools
# (package djvulibre-bin): a two-page document whose first page has a hidden
# text layer of two paragraphs and whose second page is a scan without one,
# a one-page document with text, a damaged copy, and a one-page scan of
# printed words without a text layer (for OCR; needs ImageMagick).
# Run it from anywhere: sh tests/data/djvu/make_samples.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# A 200x100 bitonal page with a black bar, as a plain PBM.
{
  echo P1
  echo 200 100
  y=0
  while [ $y -lt 100 ]; do
    if [ $y -ge 40 ] && [ $y -lt 60 ]; then row=$(printf '1 %.0s' $(seq 200)); else row=$(printf '0 %.0s' $(seq 200)); fi
    echo "$row"
    y=$((y + 1))
  done
} > "$tmp/page.pbm"

cjb2 -dpi 100 "$tmp/page.pbm" "$tmp/p1.djvu"
cjb2 -dpi 100 "$tmp/page.pbm" "$tmp/p2.djvu"
cat > "$tmp/p1.txt" <<'TXT'
(page 0 0 200 100
 (para 0 50 200 100
  (line 0 80 200 100 (word 0 80 60 100 "Hidden") (word 70 80 120 100 "text") (word 130 80 200 100 "layer"))
  (line 0 60 200 80 (word 0 60 80 80 "second") (word 90 60 200 80 "line")))
 (para 0 0 200 40
  (line 0 0 200 40 (word 0 0 100 40 "Überschrift") (word 110 0 200 40 "zwei"))))
TXT
djvused "$tmp/p1.djvu" -e "select 1; set-txt $tmp/p1.txt" -s
djvm -c "$here/scanned.djvu" "$tmp/p1.djvu" "$tmp/p2.djvu"
cp "$tmp/p1.djvu" "$here/text.djvu"
head -c 120 "$here/text.djvu" > "$here/truncated.djvu"

# Printed words at 300 dpi, thresholded to a bitonal scan.
convert -density 300 -units PixelsPerInch -background white -fill black \
  -font /usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf -pointsize 14 -size 1800x \
  caption:"A scanned page of a book whose words only text recognition can read." \
  -bordercolor white -border 150 -threshold 50% "$tmp/words.pbm"
cjb2 -dpi 300 "$tmp/words.pbm" "$here/words.djvu"
