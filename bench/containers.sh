#!/usr/bin/env bash
# Times the container filters against the peers in one run, per document:
# - the corpus archives and compressed files (zip, tar, 7z, gz, bz2) against
#   plain extraction with `bsdtar -xOf FILE` (the peer does no conversion);
# - a generated zip of 200 web pages against `bsdtar -xOf | pandoc -f html -t plain`;
# - the corpus Outlook messages against `msgconvert` (to .eml) and
#   `soffice --headless --convert-to txt`.
# Each tool runs once per document; ratios are peer time / quarn time.
# Usage: bench/containers.sh [build-dir]   (peers: scripts/setup.sh --bench)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
quarn=$build/bin/quarn
corpus=$here/../shared/corpus/inputs
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
# time_set TOOL FILES...: seconds for converting every file, one process each.
time_set() {
  local tool=$1; shift
  local t0; t0=$(now)
  for f in "$@"; do
    case $tool in
      quarn) "$quarn" "$f" "$work/out.txt" >/dev/null 2>&1 || true ;;
      bsdtar) bsdtar -xOf "$f" >/dev/null 2>&1 || true ;;
      bsdtar-pandoc) bsdtar -xOf "$f" 2>/dev/null | pandoc -f html -t plain >/dev/null 2>&1 || true ;;
      msgconvert) (cd "$work/mc" && timeout 120 msgconvert --outfile "$work/mc/out.eml" "$f" >/dev/null 2>&1) || true ;;
      soffice) timeout 120 soffice --headless --convert-to txt:Text --outdir "$work/lo" "$f" >/dev/null 2>&1 || true ;;
    esac
  done
  echo "$(now) - $t0" | bc
}
ratio() { [[ $1 == NA ]] && echo NA || echo "scale=1; $1 / $2" | bc; }

mkdir -p "$work/mc" "$work/lo"
printf "%-10s %5s %9s %9s %9s %9s %9s %9s\n" set files quarn_s peer_s x_peer soffice_s x_soffice peer
for fmt in zip tar 7z gz bz2; do
  mkdir -p "$work/$fmt"
  [[ -d $corpus/$fmt ]] || continue
  find "$corpus/$fmt" -type f -not -path '*/_*' | sort | while read -r f; do cp "$f" "$work/$fmt/"; done
  files=("$work/$fmt"/*)
  q=$(time_set quarn "${files[@]}")
  p=$(time_set bsdtar "${files[@]}")
  printf "%-10s %5d %9.3f %9.3f %9s %9s %9s %9s\n" "$fmt" "${#files[@]}" "$q" "$p" "$(ratio "$p" "$q")" NA NA "bsdtar -xO"
done

# A zip of web pages, the kind of archive a saved site or a help export is.
mkdir -p "$work/pages"
for i in $(seq 1 200); do
  printf '<html><head><title>Page %d</title></head><body><h1>Chapter %d</h1><p>%s</p></body></html>\n' "$i" "$i" \
    "$(printf 'Words of a paragraph that fill a line of text. %.0s' $(seq 1 40))" > "$work/pages/page$i.html"
done
(cd "$work/pages" && bsdtar -a -cf "$work/pages.zip" ./*.html)
q=$(time_set quarn "$work/pages.zip")
p=NA
command -v pandoc >/dev/null && p=$(time_set bsdtar-pandoc "$work/pages.zip")
printf "%-10s %5d %9.3f %9s %9s %9s %9s %9s\n" pages.zip 1 "$q" "$p" "$(ratio "$p" "$q")" NA NA "bsdtar -xO | pandoc"

mkdir -p "$work/msg"
find "$corpus/msg" -type f -not -path '*/_*' | sort | while read -r f; do cp "$f" "$work/msg/"; done
files=("$work/msg"/*)
q=$(time_set quarn "${files[@]}")
p=NA; s=NA
command -v msgconvert >/dev/null && p=$(time_set msgconvert "${files[@]}")
command -v soffice >/dev/null && s=$(time_set soffice "${files[@]}")
printf "%-10s %5d %9.3f %9s %9s %9s %9s %9s\n" msg "${#files[@]}" "$q" "$p" "$(ratio "$p" "$q")" "$s" "$(ratio "$s" "$q")" msgconvert
