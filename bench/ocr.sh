#!/usr/bin/env bash
# Text recognition, side by side on the same pages in one run: Quarn
# (`quarn --batch` over the set: two workers, one engine each), OCRmyPDF
# (`ocrmypdf --sidecar -j 2`, the Debian package on the same Tesseract and
# language data) and the `tesseract` command on the pages rendered at 300 dpi,
# two at a time.  Prints word recall, pages per second and peak memory.
#
#   bench/ocr.sh [--build DIR] [--lang LANGS]
#
# Sets: "renders", twelve letter pages rendered from the known texts of
# tests/data/image (three fonts at 300 dpi, 150 dpi, noise, JPEG artefacts,
# turned and skewed pages) and put into one PDF with img2pdf; "scanned", the
# image-only PDFs of the shared corpus (inputs/pdf/_scanned), whose recall is
# taken where the corpus has a reference text.  Recall is the share of the
# expected words (with their counts) found in a tool's text.
#
# Every tool gets OMP_THREAD_LIMIT=1: Tesseract's own threads only fight the
# two processes or workers on this machine.  The tesseract command's figures
# leave out the rendering of the pages (done beforehand with pdftoppm), so
# they flatter it.  Peak memory is the largest resident set /usr/bin/time saw
# for one command: for Quarn the whole program with both workers.
# Needs ocrmypdf, tesseract-ocr, poppler-utils, img2pdf, imagemagick and time
# (scripts/setup.sh --bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
lang=eng
while (($#)); do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --lang) lang=$2; shift 2 ;;
    *) echo "usage: bench/ocr.sh [--build DIR] [--lang LANGS]" >&2; exit 2 ;;
  esac
done
quarn="$build/bin/quarn"
[[ -x "$quarn" ]] || { echo "bench: build Quarn first ($quarn is missing)" >&2; exit 1; }
for tool in ocrmypdf tesseract pdftoppm pdfinfo img2pdf convert /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/setup.sh --bench)" >&2; exit 1; }
done
export OMP_THREAD_LIMIT=1

scratch=$(mktemp -d /tmp/quarn-bench-ocr.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# Bag-of-words recall of expected (file) in got (file), as the tests count it.
recall() {
  python3 - "$1" "$2" <<'EOF'
import re, sys, collections
def words(path):
    text = open(path, encoding="utf-8", errors="replace").read().lower()
    return collections.Counter(re.findall(r"[^\W_]+", text))
want, got = words(sys.argv[1]), words(sys.argv[2])
total = sum(want.values())
print("%.3f" % (sum(min(n, got[w]) for w, n in want.items()) / total if total else 1.0))
EOF
}

# ---- the sets -----------------------------------------------------------------
"$root/tests/data/image/render-samples.sh" "$scratch/renders-src" >/dev/null
mkdir -p "$scratch/renders"
data="$root/tests/data/image"
pages=(serif-300.png:english-1 sans-300.png:english-2 mono-300.png:english-1 times-150.png:english-2
       sans-150.png:english-1 noise-300.png:english-1 artefacts-300.jpg:english-2 turned-90.png:english-1
       turned-180.png:english-1 turned-270.png:english-2 skew-3.png:english-2 columns-300.png:columns)
cat "$data/column-left.txt" "$data/column-right.txt" >"$scratch/columns.txt"
: >"$scratch/renders.expected"
render_files=()
for p in "${pages[@]}"; do
  render_files+=("$scratch/renders-src/${p%%:*}")
  known=${p##*:}
  if [[ $known == columns ]]; then cat "$scratch/columns.txt"; else cat "$data/$known.txt"; fi >>"$scratch/renders.expected"
done
img2pdf -o "$scratch/renders/renders.pdf" "${render_files[@]}"
cp "$scratch/renders.expected" "$scratch/renders/renders.pdf.expected"

corpus="$root/../shared/corpus"
mkdir -p "$scratch/scanned"
if [[ -d "$corpus/inputs/pdf/_scanned" ]]; then
  while IFS= read -r f; do
    rel=${f#"$corpus/inputs/"}
    name=$(echo "$rel" | tr '/' '_')
    cp "$f" "$scratch/scanned/$name"
    ref="$corpus/reference/$rel.ref.txt"
    [[ -s "$ref" ]] && cp "$ref" "$scratch/scanned/$name.expected"
  done < <(find "$corpus/inputs/pdf/_scanned" -type f -name '*.pdf' | sort)
fi

# ---- one tool over one set ------------------------------------------------------
# Runs TOOL over the PDFs of SET, leaving FILE.pdf.TOOL.txt beside each; prints
# "seconds peak_mb".
run_tool() {
  local tool=$1 set=$2 start end peak=0 kb
  local dir="$scratch/$set"
  start=$(date +%s%N)
  case "$tool" in
    quarn)
      mkdir -p "$scratch/q-$set"
      cp "$dir"/*.pdf "$scratch/q-$set/"
      /usr/bin/time -f '%M' -o "$scratch/rss" "$quarn" --batch --ocr-lang "$lang" "$scratch/q-$set" >/dev/null 2>&1 || true
      peak=$(tr -dc 0-9 <"$scratch/rss")
      for f in "$dir"/*.pdf; do
        local b=$(basename "$f" .pdf)
        cp "$scratch/q-$set/$b.txt" "$f.quarn.txt" 2>/dev/null || : >"$f.quarn.txt"
      done
      ;;
    ocrmypdf)
      for f in "$dir"/*.pdf; do
        /usr/bin/time -f '%M' -o "$scratch/rss" ocrmypdf -q -j 2 -l "$lang" --skip-text --sidecar "$f.ocrmypdf.txt" \
          "$f" "$scratch/out.pdf" >/dev/null 2>&1 || : >>"$f.ocrmypdf.txt"
        kb=$(tr -dc 0-9 <"$scratch/rss"); ((kb > peak)) && peak=$kb
      done
      ;;
    tesseract)
      # The rendering is done before the clock starts (see below).
      for f in "$dir"/*.pdf; do
        ls "$f".page-*.png 2>/dev/null | xargs -r -P 2 -I{} /usr/bin/time -f '%M' -o {}.rss \
          tesseract {} {} -l "$lang" >/dev/null 2>&1 || true
        : >"$f.tesseract.txt"
        for p in $(ls "$f".page-*.png 2>/dev/null | sort -V); do
          cat "$p.txt" >>"$f.tesseract.txt" 2>/dev/null || true
          kb=$(tr -dc 0-9 <"$p.rss" 2>/dev/null || echo 0); ((kb > peak)) && peak=$kb
        done
      done
      ;;
  esac
  end=$(date +%s%N)
  awk -v ns=$((end - start)) -v kb="$peak" 'BEGIN { printf "%.2f %.0f\n", ns / 1e9, kb / 1024 }'
}

printf '%-9s %5s %5s | %-10s %8s %8s %8s %8s\n' set files pages tool seconds pages/s recall "peak MB"
for set in renders scanned; do
  dir="$scratch/$set"
  files=("$dir"/*.pdf)
  [[ -e "${files[0]}" ]] || continue
  npages=0
  for f in "${files[@]}"; do
    n=$(pdfinfo "$f" 2>/dev/null | awk '/^Pages:/ {print $2}')
    npages=$((npages + ${n:-0}))
    pdftoppm -r 300 -gray -png "$f" "$f.page" 2>/dev/null || true
  done
  declare -A rate=() rec=()
  for tool in quarn ocrmypdf tesseract; do
    read -r secs peak < <(run_tool "$tool" "$set")
    # Recall over the files with an expected text, all of them joined.
    : >"$scratch/exp" && : >"$scratch/got"
    for f in "${files[@]}"; do
      [[ -f "$f.expected" ]] || continue
      cat "$f.expected" >>"$scratch/exp"
      cat "$f.$tool.txt" >>"$scratch/got" 2>/dev/null || true
    done
    rec[$tool]=$( [[ -s "$scratch/exp" ]] && recall "$scratch/exp" "$scratch/got" || echo "-")
    rate[$tool]=$(awk -v p="$npages" -v s="$secs" 'BEGIN { printf "%.2f", p / s }')
    printf '%-9s %5d %5d | %-10s %8.1f %8s %8s %8s\n' "$set" "${#files[@]}" "$npages" "$tool" "$secs" \
      "${rate[$tool]}" "${rec[$tool]}" "$peak"
  done
  awk -v q="${rate[quarn]}" -v o="${rate[ocrmypdf]}" -v t="${rate[tesseract]}" -v s="$set" \
    'BEGIN { printf "%-9s ratio: quarn/ocrmypdf %.2f (goal >= 1.5), quarn/tesseract %.2f (goal >= 1)\n", s, q / o, q / t }'
  unset rate rec
done
