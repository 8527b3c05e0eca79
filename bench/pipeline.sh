#!/usr/bin/env bash
# The batch of scripts and pipelines at scale: N tiny Markdown files (100 a
# folder, folders two levels deep) generated in a scratch folder, converted
# with
#   walk:   quarn --batch --jsonl --output-dir OUT --jobs 2 TREE
#   list:   find TREE -type f -print0 | quarn --batch --files-from - -0 --jsonl --output-dir OUT2 --jobs 2
#   update: the walk again with --update over the unchanged tree (every
#           document skipped: must take under 10% of the walk)
# and, for each, the wall time, the time per file, the processor time (user
# and system, the converters' included) and the peak memory (maximum resident
# set) of the program.  On a machine shared with other work, the processor
# time is the steadier measure.  Linear work shows as a flat time
# per file, and memory that does not grow with the run as a flat peak.
# Usage: bench/pipeline.sh [BUILD_FOLDER] [MAX_FILES]
#   sizes 10,000, 100,000 and 1,000,000, up to MAX_FILES (default 1,000,000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
max=${2:-1000000}
quarn=$build/bin/quarn
[[ -x $quarn ]] || { echo "no $quarn: build first (scripts/build.sh)" >&2; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn-bench-pipeline.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# make_tree N FOLDER
make_tree() {
  python3 "$root/bench/tiny_tree.py" "$1" "$2"
}

# measure NAME COMMAND...: runs it under GNU time; sets secs, cpu and peak_mb,
# the program's standard output goes to $scratch/NAME.jsonl.
measure() {
  local name=$1
  shift
  /usr/bin/time -f "%e %M %U %S" -o "$scratch/$name.time" "$@" > "$scratch/$name.jsonl" 2> "$scratch/$name.err" || true
  local kb user sys
  read -r secs kb user sys < "$scratch/$name.time"
  peak_mb=$(echo "$kb / 1024" | bc)
  cpu=$(echo "$user + $sys" | bc -l)
}

printf '%9s %8s %8s %8s %8s %8s %8s %8s %8s %9s %9s\n' files "walk s" "us/file" "cpu s" "peak MB" "list s" \
  "us/file" "cpu s" "peak MB" "update s" "cpu s"
for n in 10000 100000 1000000; do
  ((n <= max)) || continue
  tree=$scratch/tree
  start=$(date +%s)
  make_tree "$n" "$tree"
  find "$tree" > /dev/null  # warm the cache
  measure walk "$quarn" --batch --jsonl --output-dir "$scratch/out" --jobs 2 "$tree"
  walk_s=$secs walk_mb=$peak_mb walk_cpu=$cpu
  lines=$(wc -l < "$scratch/walk.jsonl")
  measure list bash -c 'find "$1" -type f -print0 | "$2" --batch --files-from - -0 --jsonl --output-dir "$3" --jobs 2' \
    _ "$tree" "$quarn" "$scratch/out2"
  list_s=$secs list_mb=$peak_mb list_cpu=$cpu
  measure update "$quarn" --batch --jsonl --update --output-dir "$scratch/out" --jobs 2 "$tree"
  update_s=$secs update_cpu=$cpu
  skipped=$(grep -c '"status":"skipped"' "$scratch/update.jsonl" || true)
  per() { echo "$1 * 1000000 / $n" | bc -l; }
  pct() { echo "$1 * 100 / $2" | bc -l; }
  printf '%9d %8.1f %8.0f %8.1f %8d %8.1f %8.0f %8.1f %8d %4.1f %3.0f%% %4.1f %3.0f%%\n' "$n" "$walk_s" \
    "$(per "$walk_s")" "$walk_cpu" "$walk_mb" "$list_s" "$(per "$list_s")" "$list_cpu" "$list_mb" \
    "$update_s" "$(pct "$update_s" "$walk_s")" "$update_cpu" "$(pct "$update_cpu" "$walk_cpu")"
  echo "  walk: $(head -1 "$scratch/walk.err"); update: $(head -1 "$scratch/update.err")"
  [[ $lines -eq $n && $skipped -eq $n ]] ||
    echo "  expected $n lines and $n skipped on update; got $lines and $skipped" >&2
  echo "  ($n files: $(($(date +%s) - start)) s with generating and removing the tree)"
  rm -rf "$tree" "$scratch/out" "$scratch/out2"
done
