#!/usr/bin/env bash
# What huge pages for the heap would give a batch: "quarn --batch --no-ocr"
# over a scratch copy of the corpus (or FOLDER) as it runs (glibc's heap in
# 4 KiB pages) against the same program started with
# GLIBC_TUNABLES=glibc.malloc.hugetlb=1 (its converters inherit it), in one
# run, turn about.  Prints the median wall time, the processor time and the
# page faults of the program with its converters (perf stat), and the
# largest resident size of one process (GNU time).
#   bench/heap_pages.sh [BUILD_DIR] [ROUNDS] [FOLDER] [-- QUARN_OPTIONS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-5}
source_folder=${3:-${QUARN_CORPUS:-$root/../shared/corpus}/inputs}
options=(--no-ocr)
if (($# > 3)) && [[ $4 == -- ]]; then options=("${@:5}"); fi
quarn=$build/bin/quarn
[[ -x $quarn ]] || { echo "build Quarn first: $quarn" >&2; exit 1; }
[[ -d $source_folder ]] || { echo "no documents: $source_folder" >&2; exit 1; }
command -v perf >/dev/null || { echo "perf is needed (scripts/setup.sh --bench)" >&2; exit 1; }
mode=$(cat /sys/kernel/mm/transparent_hugepage/enabled 2>/dev/null || echo "no huge pages")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn-bench-heap.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cp -r "$source_folder" "$scratch/in"
echo "kernel's huge page mode: $mode; $(find "$scratch/in" -type f | wc -l) files, $rounds rounds each"

# one SIDE TUNABLES: one batch; appends "wall cpu_ms faults peak_kb" to $scratch/SIDE.
one() {
  rm -rf "$scratch/out"
  local t0 t1
  t0=$(date +%s.%N)
  env ${2:+GLIBC_TUNABLES=$2} perf stat -x, -e task-clock,page-faults -o "$scratch/perf" \
    /usr/bin/time -f %M -o "$scratch/time" \
    "$quarn" --batch --output-dir "$scratch/out" "${options[@]}" "$scratch/in" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  local cpu faults
  cpu=$(awk -F, '/task-clock/ {print $1}' "$scratch/perf")
  faults=$(awk -F, '/page-faults/ {print $1}' "$scratch/perf")
  echo "$(echo "$t1 - $t0" | bc -l) $cpu $faults $(tail -1 "$scratch/time")" >> "$scratch/$1"
}
one warm ""  # the files in the page cache, the libraries loaded once
for ((r = 0; r < rounds; r++)); do
  one small ""
  one huge glibc.malloc.hugetlb=1
done
python3 - "$scratch" <<'PY'
import statistics, sys
rows = {}
for side in ("huge", "small"):
    cols = list(zip(*[map(float, l.split()) for l in open(sys.argv[1] + "/" + side)]))
    rows[side] = [statistics.median(c) for c in cols]
print("%-28s %10s %12s %12s %14s" % ("side (median)", "wall s", "cpu ms", "page faults", "peak RSS MB"))
for side, name in (("small", "4 KiB pages (default)"), ("huge", "huge pages (tunable 1)")):
    w, c, f, m = rows[side]
    print("%-28s %10.2f %12.0f %12.0f %14.1f" % (name, w, c, f, m / 1024))
s, h = rows["small"], rows["huge"]
print("ratio 4 KiB / huge: wall %.2f, cpu %.2f, page faults %.1f" % (s[0] / h[0], s[1] / h[1], s[2] / h[2]))
PY
