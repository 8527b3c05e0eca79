#!/usr/bin/env bash
# PostScript documents: the manuals Debian installs as .ps.gz (man-db,
# bzip2, gdb, lzop, valgrind, when present) and any FILES named, unpacked
# into a scratch folder; each converted once per round, one process per
# document, by `quarn FILE OUT`, by ps2ascii (Ghostscript's own text
# device), and by ps2pdf then pdftotext (the way round Quarn takes, as two
# programs).  Prints seconds (the median of ROUNDS rounds) and words per
# tool and document; ratios are peer time over Quarn's.
#   bench/postscript.sh [BUILD_DIR] [ROUNDS] [FILES...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-3}
shift $(($# > 2 ? 2 : $#))
quarn=$build/bin/quarn
[[ -x $quarn ]] || { echo "build Quarn first: $quarn" >&2; exit 1; }
for tool in ps2ascii ps2pdf pdftotext; do
  command -v $tool >/dev/null || { echo "needs $tool (apt-get install ghostscript poppler-utils)" >&2; exit 1; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for doc in man-db/man-db-manual bzip2/manual gdb/refcard lzop/lzop valgrind/valgrind_manual; do
  src=/usr/share/doc/$doc.ps.gz
  [[ -f $src ]] && zcat "$src" >"$scratch/$(dirname "$doc").ps"
done
for f in "$@"; do cp "$f" "$scratch/"; done
shopt -s nullglob
docs=("$scratch"/*.ps "$scratch"/*.eps)
((${#docs[@]})) || { echo "no PostScript documents found" >&2; exit 1; }

# median SECONDS...: the middle value.
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
# seconds COMMAND...: wall time of one run.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
via_pdf() { ps2pdf "$1" "$scratch/via.pdf" && pdftotext -enc UTF-8 "$scratch/via.pdf" "$scratch/via.txt"; }

printf '%-22s %8s | %-10s %8s %9s %7s\n' document KB tool seconds words "peer/q"
for doc in "${docs[@]}"; do
  name=$(basename "$doc")
  kb=$(($(stat -c %s "$doc") / 1024))
  declare -A t=()
  for tool in quarn ps2ascii via_pdf; do
    runs=()
    for ((r = 0; r < rounds; r++)); do
      case $tool in
        quarn) runs+=("$(seconds "$quarn" "$doc" "$scratch/quarn.txt")") ;;
        ps2ascii) runs+=("$(seconds sh -c "ps2ascii '$doc' >'$scratch/ps2ascii.txt'")") ;;
        via_pdf) runs+=("$(seconds via_pdf "$doc")") ;;
      esac
    done
    t[$tool]=$(median "${runs[@]}")
  done
  words_q=$(wc -w <"$scratch/quarn.txt")
  words_a=$(wc -w <"$scratch/ps2ascii.txt")
  words_p=$(wc -w <"$scratch/via.txt")
  printf '%-22s %8d | %-10s %8.3f %9d %7s\n' "$name" "$kb" quarn "${t[quarn]}" "$words_q" ""
  printf '%-22s %8s | %-10s %8.3f %9d %7.2f\n' "" "" ps2ascii "${t[ps2ascii]}" "$words_a" \
    "$(echo "${t[ps2ascii]} / ${t[quarn]}" | bc -l)"
  printf '%-22s %8s | %-10s %8.3f %9d %7.2f\n' "" "" "ps2pdf+pdftotext" "${t[via_pdf]}" "$words_p" \
    "$(echo "${t[via_pdf]} / ${t[quarn]}" | bc -l)"
  unset t
done
