#!/usr/bin/env bash
# Times "quarn --batch" over generated trees of 10,000, 50,000 and 100,000
# tiny paths and over a scratch copy of the corpus, and prints the time per
# path so that linear growth shows.  Two kinds of tree:
#   links: dangling symbolic links named *.txt: every path is listed, matched,
#          queued, taken and dropped, nothing converted (the queue and the walk
#          alone);
#   files: tiny Markdown files, each converted to a text file beside it.
# "find" over the same tree is the floor: listing the folders and nothing else.
# Usage: bench/batch.sh [BUILD_FOLDER] [SIZES...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
sizes=("$@")
((${#sizes[@]})) || sizes=(10000 50000 100000)
quarn=$build/bin/quarn
[[ -x $quarn ]] || { echo "no $quarn: build first (scripts/build.sh)" >&2; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn-bench-batch.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# make_tree KIND N FOLDER: N entries, 100 per folder, folders two levels deep.
make_tree() {
  python3 - "$1" "$2" "$3" <<'PY'
import os, sys
kind, n, top = sys.argv[1], int(sys.argv[2]), sys.argv[3]
for i in range(n):
    d = os.path.join(top, "g%03d" % (i // 10000), "d%04d" % (i // 100))
    if i % 100 == 0:
        os.makedirs(d, exist_ok=True)
    p = os.path.join(d, "f%06d.%s" % (i, "txt" if kind == "links" else "md"))
    if kind == "links":
        os.symlink("nowhere-%d" % i, p)
    else:
        with open(p, "w") as f:
            f.write("word %d\n" % i)
PY
}

seconds() {  # seconds COMMAND...: wall time of one run; its standard error goes to $scratch/err
  local t0 t1
  t0=$(date +%s.%N)
  "$@" > /dev/null 2> "$scratch/err" || true
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}

printf '%-6s %8s %10s %10s %12s %8s  %s\n' kind paths "find s" "quarn s" "us/path" ratio "quarn's summary"
for kind in links files; do
  for n in "${sizes[@]}"; do
    tree=$scratch/$kind-$n
    make_tree "$kind" "$n" "$tree"
    find "$tree" > /dev/null  # warm the cache for both
    f=$(seconds find "$tree")
    q=$(seconds "$quarn" --batch "$tree")
    printf '%-6s %8d %10.3f %10.3f %12.1f %8.1f  %s\n' "$kind" "$n" "$f" "$q" \
      "$(echo "$q * 1000000 / $n" | bc -l)" "$(echo "$q / $f" | bc -l)" "$(head -1 "$scratch/err")"
    rm -rf "$tree"
  done
done

corpus=$root/../shared/corpus/inputs
if [[ -d $corpus ]]; then
  copy=$scratch/corpus
  cp -r "$corpus" "$copy"
  n=$(find "$copy" -type f | wc -l)
  start=$(date +%s.%N)
  "$quarn" --batch "$copy" 2> "$scratch/corpus.log" || true
  end=$(date +%s.%N)
  printf 'corpus: %d documents in %.2f s; %s\n' "$n" "$(echo "$end - $start" | bc -l)" "$(head -1 "$scratch/corpus.log")"
else
  echo "corpus: not found at $corpus, skipped"
fi
