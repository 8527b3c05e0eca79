#!/usr/bin/env bash
# A crawler's web archive at scale: a gzipped WARC of N generated pages
# (default 20,000: about 60 MB unpacked), each page a record of its own as
# crawlers write them, converted once with
#   quarn --batch --jsonl --output-dir OUT crawl.warc.gz
# against the floors of the same run: `zcat` (only unpacking) and, one
# process per page for a sample of the pages, `html2text` (only the pages'
# text).  Wall time, pages per second, the peak memory of the program (its
# converter included) and the status.
# Usage: bench/webarchive.sh [BUILD_FOLDER] [PAGES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
pages=${2:-20000}
quarn=$build/bin/quarn
[[ -x $quarn ]] || { echo "no $quarn: build first (scripts/build.sh)" >&2; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn-bench-warc.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

python3 - "$scratch" "$pages" <<'PY'
import gzip, random, sys
folder, pages = sys.argv[1], int(sys.argv[2])
random.seed(1)
words = ["archive", "harbour", "quarterly", "report", "minutes", "village", "library", "orchard", "council",
         "railway", "meeting", "budget", "summer", "garden", "letter", "museum", "bridge", "market"]
def record(uri, payload):
    head = ("WARC/1.0\r\nWARC-Type: response\r\nWARC-Target-URI: %s\r\n"
            "Content-Type: application/http; msgtype=response\r\nContent-Length: %d\r\n\r\n" % (uri, len(payload)))
    return head.encode() + payload + b"\r\n\r\n"
with open(f"{folder}/crawl.warc.gz", "wb") as out:
    for i in range(pages):
        body = ("<html><head><title>Page %d</title></head><body>" % i + "".join(
            "<p>" + " ".join(random.choice(words) for _ in range(60)) + "</p>" for _ in range(8)) +
            "</body></html>").encode()
        if i < 200:
            open(f"{folder}/page{i}.html", "wb").write(body)
        out.write(gzip.compress(record(f"http://example.org/p{i}.html",
                                       b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n" + body)))
PY

mb=$(($(zcat "$scratch/crawl.warc.gz" | wc -c) / 1000000))
/usr/bin/time -f '%e %M' -o "$scratch/time" "$quarn" --batch --jsonl --output-dir "$scratch/out" \
  "$scratch/crawl.warc.gz" >"$scratch/line" 2>/dev/null || true
read -r seconds kib <"$scratch/time"
zstart=$(date +%s.%N); zcat "$scratch/crawl.warc.gz" >/dev/null; zend=$(date +%s.%N)
h2t=-
if command -v html2text >/dev/null; then
  hstart=$(date +%s.%N)
  for f in "$scratch"/page*.html; do html2text -utf8 "$f" >/dev/null; done
  hend=$(date +%s.%N)
  h2t=$(python3 -c "import sys; print('%.2f' % ((float(sys.argv[2]) - float(sys.argv[1])) / 200 * int(sys.argv[3])))" \
    "$hstart" "$hend" "$pages")
fi
python3 - "$pages" "$mb" "$seconds" "$kib" "$scratch/line" "$zstart" "$zend" "$h2t" <<'PY'
import json, sys
pages, mb, seconds, kib, line = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
zcat = float(sys.argv[7]) - float(sys.argv[6])
j = json.loads(open(line).readline())
print(f"{pages} pages, {mb} MB unpacked")
print(f"  quarn      {seconds:8.2f} s {pages / max(seconds, 0.01):9.0f} pages/s {kib / 1024:6.0f} MiB peak  "
      f"{j['status']}: {j['reason'] or 'all read'}, {j['text_chars']} characters")
print(f"  zcat       {zcat:8.2f} s (unpacking only)")
if sys.argv[8] != "-":
    print(f"  html2text  {float(sys.argv[8]):8.2f} s (one process a page, from 200 pages; the pages' text only)")
PY
