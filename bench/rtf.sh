#!/usr/bin/env bash
# Times the RTF filter against unrtf --text (and LibreOffice when installed)
# on the corpus RTFs and on one large generated RTF, in one run, and prints
# the ratios.  Usage: bench/rtf.sh [build-dir]   (peers: scripts/setup.sh --bench)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
quarn=$build/bin/quarn
corpus=$here/../shared/corpus/inputs/rtf
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/corpus"
if [[ -d $corpus ]]; then find "$corpus" -name '*.rtf' -not -path '*/_*' -exec cp {} "$work/corpus/" \; ; fi
# About 20 MB of paragraphs, a table and Cyrillic code-page text.
python3 - "$work/large.rtf" <<'PY'
import sys
with open(sys.argv[1], "w") as f:
    f.write("{\\rtf1\\ansi\\ansicpg1251\\deff0{\\fonttbl{\\f0\\fnil\\fcharset204 Arial;}}\n")
    for i in range(60000):
        f.write("\\pard Paragraph %d with {\\b bold} words and \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2 text.\\par\n" % i)
        if i % 50 == 0:
            f.write("\\trowd\\cellx1000\\cellx2000\\pard\\intbl A%d\\cell B%d\\cell\\row\n" % (i, i))
    f.write("}\n")
PY

now() { date +%s.%N; }
run() {  # run CMD... ; prints seconds
  local t0; t0=$(now); "$@" >/dev/null 2>&1 || true; echo "$(now) - $t0" | bc; }

time_set() {  # tool files...
  local tool=$1; shift; local t0; t0=$(now)
  for f in "$@"; do
    case $tool in
      quarn) "$quarn" "$f" >/dev/null 2>&1 || true ;;
      unrtf) (cd "$work" && unrtf --text "$f" >/dev/null 2>&1) || true ;;  # it writes pictures to the current folder
      soffice) soffice --headless --convert-to txt:Text --outdir "$work/lo" "$f" >/dev/null 2>&1 || true ;;
    esac
  done
  echo "$(now) - $t0" | bc
}

printf "%-10s %10s %10s %10s %8s %8s\n" set quarn_s unrtf_s soffice_s x_unrtf x_soffice
for set in corpus large; do
  if [[ $set == corpus ]]; then files=("$work"/corpus/*.rtf); else files=("$work/large.rtf"); fi
  [[ -e ${files[0]} ]] || continue
  q=$(time_set quarn "${files[@]}")
  u=NA; s=NA; ru=NA; rs=NA
  if command -v unrtf >/dev/null; then u=$(time_set unrtf "${files[@]}"); ru=$(echo "scale=1; $u / $q" | bc); fi
  if command -v soffice >/dev/null; then s=$(time_set soffice "${files[@]}"); rs=$(echo "scale=1; $s / $q" | bc); fi
  printf "%-10s %10.3f %10s %10s %8s %8s\n" "$set" "$q" "$u" "$s" "$ru" "$rs"
done
