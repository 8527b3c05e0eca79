#!/usr/bin/env bash
# A mailbox export at scale: mailboxes of SIZES megabytes (default 60 and
# 600) of generated messages (LF line ends; a fifth of the messages long) in
# a scratch folder, each converted once with
#   quarn --batch --jsonl --output-dir OUT BOX.mbox
# printing the wall time, the rate, the program's peak memory (the
# converter's included) and the status; then, with --huge, a sparse mailbox
# of 5 GiB (two messages and a hole), past what a converter may map at once.
# Usage: bench/mailbox.sh [BUILD_FOLDER] [--huge] [SIZES...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [[ $# -gt 0 && $1 != --huge && ! $1 =~ ^[0-9]+$ ]]; then build=$1; shift; fi
huge=0
if [[ ${1:-} == --huge ]]; then huge=1; shift; fi
sizes=("${@:-60 600}")
read -ra sizes <<<"${sizes[*]}"
quarn=$build/bin/quarn
[[ -x $quarn ]] || { echo "no $quarn: build first (scripts/build.sh)" >&2; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn-bench-mailbox.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# run BOX: one conversion, its figures on one line.
run() {
  local box=$1 mb
  mb=$(($(stat -c %s "$box") / 1000000))
  /usr/bin/time -f '%e %M' -o "$scratch/time" "$quarn" --batch --jsonl --output-dir "$scratch/out" "$box" \
    >"$scratch/line" 2>/dev/null || true
  read -r seconds kib <"$scratch/time"
  python3 - "$mb" "$seconds" "$kib" "$scratch/line" <<'PY'
import json, sys
mb, seconds, kib, line = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
j = json.loads(open(line).readline())
print(f"  {mb:6d} MB {seconds:8.2f} s {mb / max(seconds, 0.01):8.1f} MB/s {kib / 1024:8.0f} MiB peak  "
      f"{j['status']}: {j['reason'] or 'all read'}")
PY
}

echo "Mailboxes (one conversion each)"
for size in "${sizes[@]}"; do
  python3 - "$scratch/box-$size.mbox" "$size" <<'PY'
import random, sys
random.seed(1)
words = "harbour ferry office meeting minutes budget report quarter winter crossing pilot timetable".split()
path, limit = sys.argv[1], int(sys.argv[2]) * 1000000
with open(path, "w") as f:
    n = size = 0
    while size < limit:
        lines = random.choice([5, 40, 40, 40, 400])
        body = "\n".join(" ".join(random.choice(words) for _ in range(12)) for _ in range(lines))
        m = (f"From u{n}@example.org Mon Jan  1 10:00:00 2024\nFrom: u{n}@example.org\nTo: x@example.org\n"
             f"Subject: message {n}\nDate: Mon, 1 Jan 2024 10:00:00 +0000\n\n{body}\n\n")
        f.write(m)
        size += len(m)
        n += 1
PY
  run "$scratch/box-$size.mbox"
  rm -f "$scratch/box-$size.mbox"
done
if ((huge)); then
  printf 'From a@example.org Mon Jan  1 10:00:00 2024\nFrom: a@example.org\nSubject: first\n\nbody one\n\n' >"$scratch/huge.mbox"
  printf 'From a@example.org Mon Jan  1 10:00:00 2024\nFrom: a@example.org\nSubject: second\n\nbody two\n' >>"$scratch/huge.mbox"
  truncate -s 5G "$scratch/huge.mbox"
  echo "A sparse mailbox of 5 GiB (the second message runs into the hole)"
  run "$scratch/huge.mbox"
fi
