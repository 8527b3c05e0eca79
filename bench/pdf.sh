#!/usr/bin/env bash
# Times Quarn's PDF route (`quarn FILE OUT`) against pdftotext and
# `mutool draw -F txt` on the same PDFs, in one run, and prints pages per
# second, the ratios and the peak memory of each tool.
#
#   bench/pdf.sh [--build DIR] [--repeat N] [FILE.pdf ...]
#
# Without files it takes the ordinary PDFs of the shared corpus (as one set)
# and the large manuals of the r-doc-pdf package (one by one); both are copied
# to a scratch folder first.  Each measurement is the best of N runs (3).
# Needs poppler-utils, mupdf-tools, time and r-doc-pdf (scripts/setup.sh --bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
repeat=3
files=()
while (($#)); do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    *) files+=("$1"); shift ;;
  esac
done
quarn="$build/bin/quarn"
[[ -x "$quarn" ]] || { echo "bench: build Quarn first ($quarn is missing)" >&2; exit 1; }
for tool in pdftotext mutool pdfinfo /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/setup.sh --bench)" >&2; exit 1; }
done

scratch=$(mktemp -d /tmp/quarn-bench-pdf.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/in" "$scratch/out"

# Sets: a name and the files in it.
declare -a set_names=() set_files=()
add_set() { set_names+=("$1"); set_files+=("$2"); }
copy_in() {  # copy_in SRC -> prints the scratch copy's path
  local dst="$scratch/in/$(printf '%04d' "$copied")-$(basename "$1")"
  copied=$((copied + 1))
  cp "$1" "$dst"
  printf '%s' "$dst"
}
copied=0
if ((${#files[@]})); then
  for f in "${files[@]}"; do add_set "$(basename "$f")" "$(copy_in "$f")"; done
else
  corpus="$root/../shared/corpus/inputs/pdf"
  if [[ -d "$corpus" ]]; then
    list=""
    while IFS= read -r f; do list+="$(copy_in "$f")"$'\n'; done < <(find "$corpus" -path "$corpus/_*" -prune -o -type f -name '*.pdf' -print | sort)
    add_set "corpus (ordinary PDFs)" "$list"
  fi
  for f in R-intro.pdf R-exts.pdf fullrefman.pdf; do
    [[ -f /usr/share/R/doc/manual/$f ]] && add_set "$f" "$(copy_in /usr/share/R/doc/manual/$f)"
  done
fi
((${#set_names[@]})) || { echo "bench: no PDFs to time" >&2; exit 1; }

# run TOOL FILE: prints "nanoseconds peak_kb" for one run (timeouts count as 60 s).
run() {
  local tool=$1 f=$2 out="$scratch/out/out.txt" start end
  local cmd
  case "$tool" in
    quarn) cmd=("$quarn" "$f" "$out") ;;
    mutool) cmd=(mutool draw -q -F txt -o "$out" "$f") ;;
    pdftotext) cmd=(pdftotext -q "$f" "$out") ;;
  esac
  start=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$scratch/rss" timeout 60 "${cmd[@]}" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  rm -f "$out"
  echo "$((end - start)) $(tail -1 "$scratch/rss" | tr -dc 0-9)"
}

tools=(quarn mutool pdftotext)
printf '%-26s %6s %5s | %-10s %9s %8s %9s\n' "set" "files" "pages" "tool" "seconds" "pages/s" "peak MB"
for i in "${!set_names[@]}"; do
  mapfile -t list < <(printf '%s' "${set_files[$i]}" | sed '/^$/d')
  pages=0
  for f in "${list[@]}"; do
    n=$(pdfinfo "$f" 2>/dev/null | awk '/^Pages:/ {print $2}')
    pages=$((pages + ${n:-0}))
  done
  declare -A rate=()
  for tool in "${tools[@]}"; do
    best=""
    peak=0
    for ((r = 0; r < repeat; r++)); do
      total=0
      for f in "${list[@]}"; do
        read -r ns kb < <(run "$tool" "$f")
        total=$((total + ns))
        ((kb > peak)) && peak=$kb
      done
      [[ -z "$best" || $total -lt $best ]] && best=$total
    done
    rate[$tool]=$(awk -v p="$pages" -v ns="$best" 'BEGIN { printf "%.1f", p / (ns / 1e9) }')
    printf '%-26s %6d %5d | %-10s %9.3f %8s %9.1f\n' "${set_names[$i]:0:26}" "${#list[@]}" "$pages" "$tool" \
      "$(awk -v ns="$best" 'BEGIN { print ns / 1e9 }')" "${rate[$tool]}" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
  done
  awk -v q="${rate[quarn]}" -v m="${rate[mutool]}" -v p="${rate[pdftotext]}" -v s="${set_names[$i]:0:26}" \
    'BEGIN { printf "%-26s ratio: quarn/mutool %.2f (goal >= 1), quarn/pdftotext %.2f (goal >= 3)\n", s, q / m, q / p }'
  unset rate
done
