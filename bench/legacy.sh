#!/usr/bin/env bash
# Times Quarn against the peer tools on the Office 97-2003 documents of the
# shared corpus, side by side in one run: doc against antiword and catdoc,
# xls against xls2csv, ppt against catppt, all against LibreOffice headless.
# Every tool converts the same copies, one process per file (LibreOffice: one
# batch per format, its fairest use).  Prints seconds per format and ratios
# (peer time / Quarn time: above 1 means Quarn is faster), both for the
# whole program (one process per file, and `quarn --batch FOLDER`: the whole
# folder in one run, as when it is dropped on the window) and for the filter
# alone (in process, no start-up).
#   bench/legacy.sh [build-dir] [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-5}
quarn=$build/bin/quarn
corpus=${QUARN_CORPUS:-$root/../shared/corpus}
[[ -x $quarn ]] || { echo "build Quarn first: $quarn" >&2; exit 1; }
[[ -d $corpus/inputs ]] || { echo "no corpus at $corpus" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

now() { date +%s.%N; }
# Runs "$@" on every file of the format's copy, $rounds times; prints seconds.
time_each() {
  local fmt=$1; shift
  local start end
  start=$(now)
  for ((r = 0; r < rounds; r++)); do
    for f in "$scratch/$fmt"/*."$fmt"; do "$@" "$f" >/dev/null 2>&1 || true; done
  done
  end=$(now)
  echo "$end - $start" | bc -l
}
quarn_one() { "$quarn" "$1" "$scratch/out.txt"; }
# The whole folder in one run of the program, $rounds times; prints seconds.
# The batch writes its text files beside the documents: removed between rounds.
time_batch() {
  local fmt=$1 total=0 start end
  for ((r = 0; r < rounds; r++)); do
    rm -f "$scratch/$fmt"/*.txt
    start=$(now)
    "$quarn" --batch "$scratch/$fmt" >/dev/null 2>&1 || true
    end=$(now)
    total=$(echo "$total + $end - $start" | bc -l)
  done
  rm -f "$scratch/$fmt"/*.txt
  echo "$total"
}
soffice_batch() {
  local fmt=$1 target=$2 start end
  start=$(now)
  soffice -env:UserInstallation=file://$scratch/profile --headless --convert-to "$target" \
    --outdir "$scratch/lo" "$scratch/$fmt"/*."$fmt" >/dev/null 2>&1 || true
  end=$(now)
  echo "$end - $start" | bc -l
}

printf '%-4s %5s %-10s %9s %9s\n' fmt files tool seconds ratio
for fmt in doc xls ppt; do
  mkdir -p "$scratch/$fmt"
  n=0
  while IFS= read -r -d '' f; do
    n=$((n + 1))
    cp "$f" "$scratch/$fmt/$n.$fmt"
  done < <(find "$corpus/inputs/$fmt" -type f -not -path '*/_*' -print0 | sort -z)
  ours=$(time_each "$fmt" quarn_one)
  printf '%-4s %5d %-10s %9.3f %9s\n' "$fmt" "$n" quarn "$ours" "1.0"
  batch=$(time_batch "$fmt")
  printf '%-4s %5d %-10s %9.3f %9s\n' "$fmt" "$n" "(batch)" "$batch" "-"
  # The filter alone, without the program's start-up (same files and rounds).
  inproc=""
  if [[ -x $build/bin/legacy_throughput ]]; then
    inproc=$("$build/bin/legacy_throughput" "$fmt" "$rounds" "$scratch/$fmt"/*."$fmt" 2>/dev/null)
    printf '%-4s %5d %-10s %9.3f %9s\n' "$fmt" "$n" "(filter)" "$inproc" "-"
  fi
  case $fmt in
    doc) peers=(antiword catdoc) ;;
    xls) peers=(xls2csv) ;;
    ppt) peers=(catppt) ;;
  esac
  for peer in "${peers[@]}"; do
    command -v "$peer" >/dev/null || { echo "  ($peer not installed)"; continue; }
    t=$(time_each "$fmt" "$peer")
    printf '%-4s %5d %-10s %9.3f %9.1f' "$fmt" "$n" "$peer" "$t" "$(echo "$t / $ours" | bc -l)"
    printf '   batch: %.1f' "$(echo "$t / $batch" | bc -l)"
    [[ -n $inproc ]] && printf '   filter alone: %.1f' "$(echo "$t / $inproc" | bc -l)"
    printf '\n'
  done
  if command -v soffice >/dev/null; then
    target=txt
    [[ $fmt == xls ]] && target=csv
    # LibreOffice converts each file once; compare with one round of ours.
    t=$(soffice_batch "$fmt" "$target")
    printf '%-4s %5d %-10s %9.3f %9.1f' "$fmt" "$n" libreoffice "$t" "$(echo "$t * $rounds / $ours" | bc -l)"
    printf '   batch: %.1f' "$(echo "$t * $rounds / $batch" | bc -l)"
    [[ -n $inproc ]] && printf '   filter alone: %.1f' "$(echo "$t * $rounds / $inproc" | bc -l)"
    printf '\n'
  fi
done
