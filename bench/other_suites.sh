#!/usr/bin/env bash
# Times Quarn against the libraries' own command-line converters and
# LibreOffice headless on the other suites' documents of the shared corpus,
# side by side in one run: WordPerfect (wpd2text), Works (wps2text, wks2text),
# iWork (pages2text, numbers2text, key2text), Visio (vsd2text), Publisher
# (pub2xhtml), StarOffice binary files (sd2text, sdc2csv), XPS (mutool),
# DjVu (djvutxt); AbiWord, FictionBook and StarOffice XML have no converter of
# their own and meet LibreOffice only.  Every tool converts the same copies,
# one process per file, $rounds times (LibreOffice: one batch per format,
# once, its fairest use).  Prints seconds per format and ratios (peer time /
# Quarn time: above 1 means Quarn is faster), for one process per file and
# for `quarn --batch FOLDER` (the whole folder in one run).  With copies above
# 1 each document is there that many times, so that the batch shows the time
# per document of a folder of many, not the start of one run.
#   bench/other_suites.sh [build-dir] [rounds] [copies]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-5}
copies=${3:-1}
quarn=$build/bin/quarn
corpus=${QUARN_CORPUS:-$root/../shared/corpus}
[[ -x $quarn ]] || { echo "build Quarn first: $quarn" >&2; exit 1; }
[[ -d $corpus/inputs ]] || { echo "no corpus at $corpus" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

now() { date +%s.%N; }
# Runs "$@" FILE on every file of the format's copy, $rounds times; prints seconds.
time_each() {
  local fmt=$1 start end f
  shift
  start=$(now)
  for ((r = 0; r < rounds; r++)); do
    for f in "$scratch/$fmt"/*; do "$@" "$f" >/dev/null 2>&1 || true; done
  done
  end=$(now)
  echo "$end - $start" | bc -l
}
quarn_one() { "$quarn" "$1" "$scratch/out.txt"; }
mutool_txt() { mutool draw -F txt -o "$scratch/out.txt" "$1"; }
# The whole folder in one run of the program, $rounds times; prints seconds.
# The batch writes its text files beside the documents: moved away between rounds.
time_batch() {
  local fmt=$1 total=0 start end
  for ((r = 0; r < rounds; r++)); do
    start=$(now)
    "$quarn" --batch "$scratch/$fmt" >/dev/null 2>&1 || true
    end=$(now)
    total=$(echo "$total + $end - $start" | bc -l)
    find "$scratch/$fmt" -name '*.txt' -newer "$scratch/stamp" -delete
  done
  echo "$total"
}
soffice_batch() {
  local fmt=$1 target=$2 start end
  start=$(now)
  soffice -env:UserInstallation=file://$scratch/profile --headless --convert-to "$target" \
    --outdir "$scratch/lo" "$scratch/$fmt"/* >/dev/null 2>&1 || true
  end=$(now)
  echo "$end - $start" | bc -l
}

# LibreOffice makes its profile on its first start (half a minute here): made
# now, so that the first format's figure is not charged with it.
if command -v soffice >/dev/null; then
  soffice -env:UserInstallation=file://$scratch/profile --headless --terminate_after_init >/dev/null 2>&1 || true
fi
touch "$scratch/stamp"
printf '%-8s %5s %-12s %9s %9s\n' format files tool seconds ratio
# QUARN_FORMATS="wpd vsd" limits the run to those formats.
for fmt in ${QUARN_FORMATS:-wpd wps wks pages numbers key vsd vsdx pub sdw sdc sdd sda sxw sxc sxi sxd abw fb2 xps djvu}; do
  [[ -d $corpus/inputs/$fmt ]] || continue
  mkdir -p "$scratch/$fmt"
  n=0
  while IFS= read -r -d '' f; do
    for ((c = 0; c < copies; c++)); do
      n=$((n + 1))
      cp "$f" "$scratch/$fmt/$n.${f##*.}"
    done
  done < <(find "$corpus/inputs/$fmt" -type f -not -path '*/_*' -print0 | sort -z)
  ((n > 0)) || continue
  touch "$scratch/stamp"
  ours=$(time_each "$fmt" quarn_one)
  printf '%-8s %5d %-12s %9.3f %9s\n' "$fmt" "$n" quarn "$ours" "1.0"
  batch=$(time_batch "$fmt")
  printf '%-8s %5d %-12s %9.3f %9s\n' "$fmt" "$n" "(batch)" "$batch" "-"
  case $fmt in
    wpd) peers=(wpd2text) ;;
    wps) peers=(wps2text) ;;
    wks) peers=(wks2text) ;;
    pages) peers=(pages2text) ;;
    numbers) peers=(numbers2text) ;;
    key) peers=(key2text) ;;
    vsd | vsdx) peers=(vsd2text) ;;
    pub) peers=(pub2xhtml) ;;
    sdw | sdd | sda) peers=(sd2text) ;;
    sdc) peers=(sdc2csv) ;;
    xps) peers=(mutool_txt) ;;
    djvu) peers=(djvutxt) ;;
    *) peers=() ;;
  esac
  for peer in "${peers[@]}"; do
    command -v "${peer%_txt}" >/dev/null || { echo "  ($peer not installed)"; continue; }
    t=$(time_each "$fmt" "$peer")
    printf '%-8s %5d %-12s %9.3f %9.1f' "$fmt" "$n" "$peer" "$t" "$(echo "$t / $ours" | bc -l)"
    printf '   batch: %.1f\n' "$(echo "$t / $batch" | bc -l)"
  done
  if command -v soffice >/dev/null && [[ $fmt != djvu && $fmt != xps ]]; then
    target=txt
    case $fmt in wks | numbers | sdc | sxc) target=csv ;; key | vsd | vsdx | pub | sdd | sda | sxi | sxd) target=pdf ;; esac
    # LibreOffice converts each file once; compare with one round of ours.
    t=$(soffice_batch "$fmt" "$target")
    printf '%-8s %5d %-12s %9.3f %9.1f' "$fmt" "$n" "libreoffice" "$t" "$(echo "$t * $rounds / $ours" | bc -l)"
    printf '   batch: %.1f\n' "$(echo "$t * $rounds / $batch" | bc -l)"
  fi
done
