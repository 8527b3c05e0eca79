#!/usr/bin/env bash
# The cost of the Dask cluster on one machine: contrib/dask/quarn_dask.py over
# a scratch copy of the corpus with a scheduler and two workers started on
# 127.0.0.1, against one local "quarn --batch" over the same list, in one run.
# Both sides convert two documents at a time: where quarn has --jobs, the
# local batch gets --jobs 2 and each of the two workers' quarn --jobs 1; where
# it has not, each worker's quarn runs its two default workers (four at once
# on the cluster's side, said in the output).  The cluster is started and
# waited for before the clock starts; its start-up is printed apart.  The
# script runs twice, with its default partitions and with ten documents a
# partition (more quarn start-ups, less waiting on the last, slowest part).
# "document-seconds" adds up the time each document took from its start to
# its result: when it grows, documents waited on one another for the cores.
#
#   bench/cluster.sh [BUILD_DIR] [-- QUARN_OPTIONS...]
#
# QUARN_OPTIONS go to both sides (for example -- --no-ocr: the corpus's
# scanned pages otherwise spend most of the time in text recognition).
# Needs Python's distributed package (python3-distributed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if (($#)) && [[ $1 != -- ]]; then build=$1; shift; fi
[[ ${1:-} == -- ]] && shift
options=("$@")
build=$(cd "$build" && pwd)
quarn=$build/bin/quarn
script=$root/contrib/dask/quarn_dask.py
corpus=$root/../shared/corpus/inputs
python=/usr/bin/python3
[[ -x $quarn ]] || { echo "no $quarn: build first (scripts/build.sh)" >&2; exit 1; }
[[ -d $corpus ]] || { echo "no corpus at $corpus" >&2; exit 1; }
"$python" -c 'import distributed' 2>/dev/null || { echo "no python3-distributed" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn-bench-cluster.XXXXXX")
pids=()
cleanup() {
  {
    for pid in "${pids[@]}"; do kill -KILL -- "-$pid" || true; done
    wait || true
  } 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
cp -r "$corpus" "$scratch/docs"
cd "$scratch"
find docs -type f -print0 | sort -z > list
n=$(tr -cd '\0' < list | wc -c)

local_jobs=() worker_jobs=() note="each worker's quarn converts two at a time (no --jobs in this quarn)"
if "$quarn" --help | grep -q -- '--jobs'; then
  local_jobs=(--jobs 2) worker_jobs=(--jobs 1) note="local --jobs 2; each worker's quarn --jobs 1"
fi

now() { date +%s.%N; }

t0=$(now)
"$quarn" --batch --files-from list -0 --jsonl --update --output-dir local "${local_jobs[@]}" "${options[@]}" \
  > local.jsonl 2> local.err || true
t1=$(now)

# The cluster: each process in a session of its own, so that the clean-up
# takes its quarn runs with it.
c0=$(now)
setsid "$python" -m distributed.cli.dask_scheduler --host 127.0.0.1 --port 0 --no-dashboard \
  --scheduler-file scheduler.json > scheduler.log 2>&1 < /dev/null &
pids+=($!)
for i in 0 1; do
  mkdir -p "w$i"
  setsid "$python" -m distributed.cli.dask_worker --scheduler-file scheduler.json --host 127.0.0.1 \
    --nthreads 1 --no-nanny --no-dashboard --local-directory "w$i" > "w$i.log" 2>&1 < /dev/null &
  pids+=($!)
done
"$python" - <<'PY'
import json, os, time
from distributed import Client
while not os.path.exists("scheduler.json"):
    time.sleep(0.1)
with Client(json.load(open("scheduler.json"))["address"], timeout=60) as c:
    c.wait_for_workers(2, timeout=120)
PY
c1=$(now)
address=$("$python" -c 'import json; print(json.load(open("scheduler.json"))["address"])')

# dask_run NAME [SCRIPT OPTIONS...]: one run of the script into NAME/, timed.
dask_run() {
  local name=$1 a b
  shift
  a=$(now)
  "$python" "$script" --scheduler "$address" -0 --output-dir "$name" --summary "$name.jsonl" --quarn "$quarn" \
    "${worker_jobs[@]}" "$@" list -- "${options[@]}" 2> "$name.err" || true
  b=$(now)
  echo "$b - $a" | bc -l
}
d=$(dask_run dask)
d10=$(dask_run dask10 --partition-size 10)

counts() {
  "$python" -c '
import collections, json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
c = collections.Counter(l["status"] for l in lines)
print(" ".join("%s %d" % (k, c[k]) for k in ("written", "no_text", "failed", "skipped")),
      "; document-seconds %.1f" % (sum(l["milliseconds"] for l in lines) / 1000))' "$1"
}
# Two documents that share a text file (a.md, a.rtf) may each be first to
# write it, on either side: such pairs differ, nothing else should.
diff -rq local/ dask/ > differ.txt 2>&1 || true
differ=$(wc -l < differ.txt)
l=$(echo "$t1 - $t0" | bc -l)
parts() { grep -o '[0-9]* partitions' "$1.err"; }
printf 'corpus: %d documents%s; %s\n' "$n" "${options[*]:+ (quarn ${options[*]})}" "$note"
printf '%-36s %8.2f s  %s\n' "quarn --batch" "$l" "$(counts local.jsonl)"
printf '%-36s %8.2f s  %s\n' "quarn_dask.py, 2 workers, $(parts dask)" "$d" "$(counts dask.jsonl)"
printf '%-36s %8.2f s  %s\n' "quarn_dask.py, 2 workers, $(parts dask10)" "$d10" "$(counts dask10.jsonl)"
printf '%-36s %8.2f s\n' "cluster start-up (apart)" "$(echo "$c1 - $c0" | bc -l)"
printf 'ratio dask / local: %.2f (default partitions), %.2f (10 documents a partition); %d text files differ\n' \
  "$(echo "$d / $l" | bc -l)" "$(echo "$d10 / $l" | bc -l)" "$differ"
head -3 differ.txt
