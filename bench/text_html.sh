#!/usr/bin/env bash
# Times Quarn's plain-text and HTML routes against peer tools in one run:
#   plain text: build/bin/quarn FILE OUT against iconv, on 100 MB of generated
#               windows-1252 text and 100 MB of UTF-16LE text;
#   HTML:       against html2text and pandoc -t plain, on the corpus's web
#               pages (all of them, one process per page) and a generated page;
#   pipeline:   build/bin/pipeline_bench (UTF-16 through a do-nothing plug-in).
# Prints wall seconds, peak resident memory and the peer/Quarn time ratio
# (above 1: Quarn is faster).  Needs `scripts/setup.sh --bench`; inputs are
# generated or copied into a scratch folder that is removed at the end.
#   bench/text_html.sh [BUILD_DIR] [TEXT_MB] [HTML_MB]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
text_mb=${2:-100}
html_mb=${3:-10}
quarn=$build/bin/quarn
corpus=${QUARN_CORPUS:-$root/../shared/corpus}
[[ -x $quarn ]] || { echo "text_html.sh: build first ($quarn missing)" >&2; exit 2; }
for tool in iconv html2text pandoc /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "text_html.sh: $tool missing (scripts/setup.sh --bench)" >&2; exit 2; }
done

scratch=$(mktemp -d /tmp/quarn-bench-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# measure NAME CMD...: runs CMD once, records "seconds peakKiB" in $scratch/NAME.
measure() {
  local name=$1; shift
  /usr/bin/time -f "%e %M" -o "$scratch/$name.time" "$@" >/dev/null 2>"$scratch/$name.err" || {
    echo "text_html.sh: $name failed:" >&2; tail -3 "$scratch/$name.err" >&2; echo "0 0" >"$scratch/$name.time"; }
}
# measure_each NAME CMD-PREFIX FILES...: one process per file, times and peak summed/maxed.
measure_each() {
  local name=$1 cmd=$2; shift 2
  local total=0 peak=0 f
  for f in "$@"; do
    local out=$scratch/each.out
    /usr/bin/time -f "%e %M" -o "$scratch/one.time" bash -c "$cmd" _ "$f" "$out" >/dev/null 2>&1 || true
    read -r s m <"$scratch/one.time" || true
    total=$(python3 -c "print($total + ${s:-0})")
    (( ${m:-0} > peak )) && peak=$m
  done
  echo "$total $peak" >"$scratch/$name.time"
}
row() {  # row LABEL OURS PEER
  local ours peers
  read -r os om <"$scratch/$2.time"; read -r ps pm <"$scratch/$3.time"
  python3 -c "
os, om, ps, pm = $os, $om, $ps, $pm
ratio = ps / os if os > 0 else float('nan')
print(f'{\"$1\":<34} {os:9.2f} {om/1024:9.1f}   {\"$3\":<16} {ps:9.2f} {pm/1024:9.1f} {ratio:8.2f}')"
}

echo "generating inputs in $scratch ..."
python3 - "$scratch" "$text_mb" "$html_mb" <<'PY'
import sys, os
d, text_mb, html_mb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
para = ("Café crème, brûlée and naïve façades: “quoted” words cost €5 — "
        "plain ASCII sentences make up most of any real text file.\r\n")
def fill(path, enc, mb, bom=b""):
    chunk = (para * 2000).encode(enc)
    want = mb * 1000 * 1000
    with open(path, "wb") as f:
        f.write(bom); n = len(bom)
        while n < want:
            f.write(chunk); n += len(chunk)
fill(os.path.join(d, "big1252.txt"), "cp1252", text_mb)
fill(os.path.join(d, "big16.txt"), "utf-16-le", text_mb, b"\xff\xfe")
row = "<tr><td>Apples &amp; pears</td><td>3</td><td>Grüße</td></tr>\n"
block = ("<div class=\"c\"><h2>Heading</h2><p>Paragraph with <b>bold</b>, <a href=\"#\">links</a> "
         "and entities &eacute;t&eacute; &#8364;5.</p><ul><li>one</li><li>two</li></ul>"
         "<table>" + row * 5 + "</table><script>var x = 1;</script></div>\n")
with open(os.path.join(d, "big.html"), "w", encoding="utf-8") as f:
    f.write("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Big</title></head><body>\n")
    n, want = 0, html_mb * 1000 * 1000
    while n < want:
        f.write(block * 100); n += len(block.encode()) * 100
    f.write("</body></html>\n")
PY
mkdir -p "$scratch/pages"
pages=()
if [[ -d $corpus/inputs/html ]]; then
  while IFS= read -r -d '' f; do
    rel=${f#"$corpus/inputs/html/"}
    [[ $rel == _* || $rel == */_* ]] && continue
    dst=$scratch/pages/$(echo "$rel" | tr '/' '_')
    cp "$f" "$dst"; pages+=("$dst")
  done < <(find "$corpus/inputs/html" -type f -print0 | sort -z)
fi

echo "running ..."
measure quarn_1252 "$quarn" "$scratch/big1252.txt" "$scratch/o1.txt"
measure iconv_1252 iconv -f WINDOWS-1252 -t UTF-8 -o "$scratch/o2.txt" "$scratch/big1252.txt"
measure quarn_16 "$quarn" "$scratch/big16.txt" "$scratch/o3.txt"
measure iconv_16 iconv -f UTF-16 -t UTF-8 -o "$scratch/o4.txt" "$scratch/big16.txt"
rm -f "$scratch"/o?.txt
measure quarn_html "$quarn" "$scratch/big.html" "$scratch/o5.txt"
measure html2text_html html2text -utf8 -nobs -o "$scratch/o6.txt" "$scratch/big.html"
measure pandoc_html pandoc -f html -t plain -o "$scratch/o7.txt" "$scratch/big.html"
if ((${#pages[@]})); then
  measure_each quarn_pages "\"$quarn\" \"\$1\" \"\$2\"" "${pages[@]}"
  measure_each html2text_pages 'html2text -utf8 -nobs -o "$2" "$1"' "${pages[@]}"
  measure_each pandoc_pages 'pandoc -f html -t plain -o "$2" "$1"' "${pages[@]}"
fi

echo
printf '%-34s %9s %9s   %-16s %9s %9s %8s\n' "input" "quarn s" "quarn MB" "peer" "peer s" "peer MB" "ratio"
row "windows-1252 text, ${text_mb} MB" quarn_1252 iconv_1252
row "UTF-16LE text, ${text_mb} MB" quarn_16 iconv_16
row "generated HTML, ${html_mb} MB" quarn_html html2text_html
row "generated HTML, ${html_mb} MB" quarn_html pandoc_html
if ((${#pages[@]})); then
  row "corpus HTML, ${#pages[@]} pages" quarn_pages html2text_pages
  row "corpus HTML, ${#pages[@]} pages" quarn_pages pandoc_pages
fi
echo "(MB columns: peak resident memory; ratio: peer seconds / quarn seconds)"

if [[ -x $build/bin/pipeline_bench ]]; then
  echo
  echo "text pipeline alone (UTF-16 from a do-nothing plug-in through ConvertWithFilter):"
  "$build/bin/pipeline_bench" 10 50 100
fi
