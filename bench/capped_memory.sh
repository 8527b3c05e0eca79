#!/usr/bin/env bash
# Peak memory of documents whose text reaches the 256 MiB cap, against peer
# tools on the same files in one run:
#   plain text: quarn FILE OUT against iconv and cat, on 300 MiB of text;
#   web page:   quarn against html2text, on a 300 MB page.
# Prints wall seconds, peak resident memory (MiB) and Quarn's peak as a
# multiple of the cap (the promise: below 2).  Needs `scripts/setup.sh
# --bench`; inputs are generated in a scratch folder removed at the end.
#   bench/capped_memory.sh [BUILD_DIR] [MB]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
mb=${2:-300}
quarn=$build/bin/quarn
[[ -x $quarn ]] || { echo "capped_memory.sh: build first ($quarn missing)" >&2; exit 2; }
for tool in iconv html2text /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "capped_memory.sh: $tool missing (scripts/setup.sh --bench)" >&2; exit 2; }
done

scratch=$(mktemp -d /tmp/quarn-bench-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

python3 - "$scratch" "$mb" <<'PY'
import sys, os
d, mb = sys.argv[1], int(sys.argv[2])
line = "Plain sentences of a long log or a dump of text, line after line, 0123456789.\n"
with open(os.path.join(d, "big.md"), "w") as f:
    chunk, n = line * 20000, 0
    while n < mb << 20:
        f.write(chunk); n += len(chunk)
block = "<div><p>Paragraph with <b>bold</b> words and entities &eacute;t&eacute;.</p></div>\n" * 1000
with open(os.path.join(d, "big.html"), "w") as f:
    f.write("<html><body>\n"); n = 0
    while n < mb * 1000 * 1000:
        f.write(block); n += len(block)
    f.write("</body></html>\n")
PY

# run LABEL CMD...: one run; prints seconds and peak MiB.
run() {
  local label=$1; shift
  /usr/bin/time -f "%e %M" -o "$scratch/time" "$@" >/dev/null 2>"$scratch/err" || true
  read -r s k <"$scratch/time"
  python3 -c "print(f'{\"$label\":<28} {$s:8.2f} s {$k/1024:9.1f} MiB {$k/1024/256:6.2f} x cap')"
}

echo "document                      seconds      peak       peak/256 MiB"
run "quarn big.md ($mb MiB)" "$quarn" "$scratch/big.md" "$scratch/out1.txt"
run "iconv big.md" iconv -f UTF-8 -t UTF-8 "$scratch/big.md"
run "cat big.md" cat "$scratch/big.md"
run "quarn big.html ($mb MB)" "$quarn" "$scratch/big.html" "$scratch/out2.txt"
run "html2text big.html" html2text -utf8 "$scratch/big.html"
