#!/usr/bin/env bash
# Times the container-format filters against the peers in one run, per
# document: docx, odt, epub and html against `pandoc -t plain` and
# `soffice --headless --convert-to txt`, xlsx and ods against
# `soffice --convert-to csv`.  Each tool runs once per document; then the
# whole set runs in one process where a tool can do that (`quarn --batch
# FOLDER`, as when a folder is dropped on the window, against one soffice
# call naming every file).  Then converts a generated docx whose
# document.xml is about 50 MB and reports its peak memory against the goal of
# three times the size of its text plus 64 MB.
# Usage: bench/office.sh [build-dir] [files-per-format]   (peers: scripts/setup.sh --bench)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
per=${2:-8}
quarn=$build/bin/quarn
corpus=$here/../shared/corpus/inputs
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
# time_set TOOL FORMAT FILES...: seconds for converting every file, one process each.
time_set() {
  local tool=$1 fmt=$2; shift 2
  local t0; t0=$(now)
  for f in "$@"; do
    case $tool in
      quarn) "$quarn" "$f" "$work/out.txt" >/dev/null 2>&1 || true ;;
      pandoc) timeout 120 pandoc -t plain -o "$work/out.pandoc" "$f" >/dev/null 2>&1 || true ;;
      soffice)
        local target=txt:Text
        [[ $fmt == xlsx || $fmt == ods ]] && target=csv
        timeout 120 soffice --headless --convert-to "$target" --outdir "$work/lo" "$f" >/dev/null 2>&1 || true ;;
    esac
  done
  echo "$(now) - $t0" | bc
}

# time_batch TOOL FORMAT FOLDER FILES...: seconds for the whole set in one process.
time_batch() {
  local tool=$1 fmt=$2 dir=$3; shift 3
  local t0; t0=$(now)
  case $tool in
    quarn) "$quarn" --batch "$dir" >/dev/null 2>&1 || true ;;
    soffice)
      local target=txt:Text
      [[ $fmt == xlsx || $fmt == ods ]] && target=csv
      timeout 600 soffice --headless --convert-to "$target" --outdir "$work/lo-batch" "$@" >/dev/null 2>&1 || true ;;
  esac
  echo "$(now) - $t0" | bc
}

printf "%-6s %5s %9s %9s %9s %9s %9s %9s %9s %9s\n" format files quarn_s pandoc_s soffice_s x_pandoc x_soffice \
  batch_q_s batch_lo_s x_lo_batch
for fmt in docx odt epub html xlsx ods; do
  mkdir -p "$work/$fmt"
  [[ -d $corpus/$fmt ]] || continue
  find "$corpus/$fmt" -type f -not -path '*/_*' | sort | head -n "$per" | while read -r f; do
    cp "$f" "$work/$fmt/"
  done
  files=("$work/$fmt"/*)
  [[ -e ${files[0]} ]] || continue
  q=$(time_set quarn "$fmt" "${files[@]}")
  p=NA; s=NA; rp=NA; rs=NA
  if [[ $fmt != xlsx && $fmt != ods ]] && command -v pandoc >/dev/null; then
    p=$(time_set pandoc "$fmt" "${files[@]}"); rp=$(echo "scale=1; $p / $q" | bc)
  fi
  if command -v soffice >/dev/null; then
    s=$(time_set soffice "$fmt" "${files[@]}"); rs=$(echo "scale=1; $s / $q" | bc)
  fi
  bs=NA; rbs=NA
  if command -v soffice >/dev/null; then
    bs=$(time_batch soffice "$fmt" "$work/$fmt" "${files[@]}")
  fi
  # Last: the batch writes its text files into the folder itself.
  bq=$(time_batch quarn "$fmt" "$work/$fmt" "${files[@]}")
  [[ $bs != NA ]] && rbs=$(echo "scale=1; $bs / $bq" | bc)
  printf "%-6s %5d %9.3f %9s %9s %9s %9s %9.3f %9s %9s\n" "$fmt" "${#files[@]}" "$q" "$p" "$s" "$rp" "$rs" \
    "$bq" "$bs" "$rbs"
done

# A large document.xml: paragraphs of text with the run markup real files carry.
python3 - "$work/large.docx" <<'PY'
import sys, zipfile
body = []
size = 0
i = 0
while size < 50 * 1024 * 1024:
    p = ('<w:p><w:pPr><w:pStyle w:val="Normal"/></w:pPr><w:r><w:rPr><w:b/></w:rPr><w:t>Paragraph %d</w:t></w:r>'
         '<w:r><w:t xml:space="preserve"> of the long document, with words enough to fill a line.</w:t></w:r></w:p>' % i)
    body.append(p)
    size += len(p)
    i += 1
doc = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'
       '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>'
       + ''.join(body) + '</w:body></w:document>')
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('[Content_Types].xml', '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
               '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
               '<Override PartName="/word/document.xml" ContentType="application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"/></Types>')
    z.writestr('_rels/.rels', '<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
               '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="word/document.xml"/></Relationships>')
    z.writestr('word/document.xml', doc)
print("document.xml: %.1f MB" % (len(doc) / 1e6))
PY
/usr/bin/time -v "$quarn" "$work/large.docx" "$work/large.txt" 2> "$work/time.log" >/dev/null || true
peak_kb=$(awk -F: '/Maximum resident/ {gsub(/ /, "", $2); print $2}' "$work/time.log")
secs=$(awk -F': ' '/Elapsed/ {print $2}' "$work/time.log")
text_mb=$(echo "scale=1; $(stat -c %s "$work/large.txt") / 1048576" | bc)
peak_mb=$(echo "scale=1; $peak_kb / 1024" | bc)
goal_mb=$(echo "scale=1; 3 * $text_mb + 64" | bc)
echo "large docx: text $text_mb MB, peak $peak_mb MB (goal under $goal_mb MB), wall $secs"
