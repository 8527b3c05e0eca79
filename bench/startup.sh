#!/usr/bin/env bash
# What one small conversion costs to start, in one run with hyperfine:
#  - `quarn small.txt out.txt` (ten lines of text) against a C program that
#    copies a file (compiled here), with `quarn --version` and the same
#    conversion read in the program's own process (no converter process) to
#    show where the time goes, replacing the text file of the run before and
#    writing a new one;
#  - one document per run against the libraries' own command-line converters,
#    on the inputs of bench/other_suites.sh: wpd2text, wps2text, wks2text,
#    vsd2text, `mutool draw -F txt` (XPS) and djvutxt.
# Each figure is hyperfine's median of N runs (10) after 3 warm-ups (the
# median, as a shared machine's load makes the mean wander); the
# ratios are taken in this run.  Start-up ratio: Quarn / copy (goal at most
# 2).  Per document: peer / Quarn, summed over the format's files (above 1:
# Quarn is faster).
#   bench/startup.sh [build-dir] [runs]
# (runs: 10 by default for hyperfine's per-document figures; the start-up
# line-ups take ten times as many, as each run is short)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-10}
quarn=$build/bin/quarn
corpus=${QUARN_CORPUS:-$root/../shared/corpus}
[[ -x $quarn ]] || { echo "build Quarn first: $quarn" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "hyperfine is needed (scripts/setup.sh --bench)" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cat >"$scratch/copy.c" <<'EOF'
#include <fcntl.h>
#include <unistd.h>
int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int in = open(argv[1], O_RDONLY), out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) return 1;
  char buf[65536];
  ssize_t n;
  while ((n = read(in, buf, sizeof buf)) > 0)
    if (write(out, buf, (size_t)n) != n) return 1;
  return n < 0 || close(out) != 0;
}
EOF
cc -O2 -o "$scratch/copy" "$scratch/copy.c"
for i in $(seq 1 10); do echo "line $i of a small text file"; done >"$scratch/small.txt"

# median_ms CMD...: hyperfine's median wall time of CMD in milliseconds (failures
# ignored: a document without text ends with status 3).
median_ms() {
  hyperfine -N -i -w 3 -r "$runs" --export-json "$scratch/h.json" "$(printf '%q ' "$@")" >/dev/null 2>&1
  python3 -c 'import json,sys; print("%.2f" % (json.load(open(sys.argv[1]))["results"][0]["median"] * 1e3))' \
    "$scratch/h.json"
}
ratio() { python3 -c 'import sys; print("%.2f" % (float(sys.argv[1]) / float(sys.argv[2])))' "$1" "$2"; }

# The start-up figures are taken in turns (bench/turns.c): every command of a
# line-up runs once a round, so a shared machine's drifting load falls on
# all of them alike and their ratios hold.
cc -O2 -o "$scratch/turns" "$root/bench/turns.c"
echo "Start-up: ten lines of text (ms, median of $((runs * 10)), taken in turns)"
printf '  %-48s %8s %8s\n' command ms "x copy"
mapfile -t t < <("$scratch/turns" "$((runs * 10))" \
  -- "$scratch/copy" "$scratch/small.txt" "$scratch/out.txt" \
  -- "$quarn" --version \
  -- "$quarn" --internal-no-isolation "$scratch/small.txt" "$scratch/out.txt" \
  -- "$quarn" "$scratch/small.txt" "$scratch/out.txt")
printf '  %-48s %8.2f %8s\n' "copy small.txt out.txt (C)" "${t[0]}" 1.00
printf '  %-48s %8.2f %8s\n' "quarn --version" "${t[1]}" "$(ratio "${t[1]}" "${t[0]}")"
printf '  %-48s %8.2f %8s\n' "quarn --internal-no-isolation small.txt out.txt" "${t[2]}" "$(ratio "${t[2]}" "${t[0]}")"
printf '  %-48s %8.2f %8s\n' "quarn small.txt out.txt" "${t[3]}" "$(ratio "${t[3]}" "${t[0]}")"
# The same when no text file is there yet (removed before each run, untimed):
# writing a new file costs the copy less than replacing one (no flush of the
# truncated file's blocks), and Quarn less too (nothing to take the place of).
mapfile -t t < <("$scratch/turns" "$((runs * 10))" --remove "$scratch/new.txt" \
  -- "$scratch/copy" "$scratch/small.txt" "$scratch/new.txt" \
  -- "$quarn" "$scratch/small.txt" "$scratch/new.txt")
printf '  %-48s %8.2f %8s\n' "copy small.txt new.txt (C, no new.txt before)" "${t[0]}" 1.00
printf '  %-48s %8.2f %8s\n' "quarn small.txt new.txt (no new.txt before)" "${t[1]}" "$(ratio "${t[1]}" "${t[0]}")"

[[ -d $corpus/inputs ]] || { echo "no corpus at $corpus: per-document figures left out" >&2; exit 0; }
echo
echo "One document per run (ms summed over the format's files, median of $runs each)"
printf '  %-6s %5s %10s %-10s %10s %8s\n' format files quarn peer "peer ms" "peer/us"
for fmt in wpd wps wks vsd xps djvu; do
  case $fmt in
    wpd) peer=(wpd2text) ;;
    wps) peer=(wps2text) ;;
    wks) peer=(wks2text) ;;
    vsd) peer=(vsd2text) ;;
    xps) peer=(mutool draw -F txt -o "$scratch/peer.txt") ;;
    djvu) peer=(djvutxt) ;;
  esac
  [[ -d $corpus/inputs/$fmt ]] || continue
  command -v "${peer[0]}" >/dev/null || { echo "  $fmt: ${peer[0]} not installed"; continue; }
  mkdir -p "$scratch/$fmt"
  n=0
  while IFS= read -r -d '' f; do
    n=$((n + 1))
    cp "$f" "$scratch/$fmt/$n.${f##*.}"
  done < <(find "$corpus/inputs/$fmt" -type f -not -path '*/_*' -print0 | sort -z)
  ((n > 0)) || continue
  ours=0 theirs=0
  for f in "$scratch/$fmt"/*; do
    ours=$(python3 -c 'import sys; print(float(sys.argv[1]) + float(sys.argv[2]))' "$ours" \
      "$(median_ms "$quarn" "$f" "$scratch/out.txt")")
    theirs=$(python3 -c 'import sys; print(float(sys.argv[1]) + float(sys.argv[2]))' "$theirs" \
      "$(median_ms "${peer[@]}" "$f")")
  done
  printf '  %-6s %5d %10.1f %-10s %10.1f %8s\n' "$fmt" "$n" "$ours" "${peer[0]}" "$theirs" "$(ratio "$theirs" "$ours")"
done
