#!/usr/bin/env bash
# Sets up, builds, and converts the bundled sample documents of examples/ in a
# scratch folder with the batch mode, then lists what was written.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" > /dev/null
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn-example.XXXXXX")
cp -r "$root/examples/." "$scratch/"
echo "Converting the samples in $scratch"
started=$(mktemp "${TMPDIR:-/tmp}/quarn-example-start.XXXXXX")
trap 'rm -f "$started"' EXIT
status=0
"$root/build/bin/quarn" --batch "$scratch" || status=$?
echo
echo "Written:"
find "$scratch" -name '*.txt' -type f -newer "$started" -print0 | sort -z |
  while IFS= read -r -d '' t; do
    printf '%8d bytes  %s\n' "$(stat -c %s "$t")" "${t#"$scratch"/}"
  done
exit $status
