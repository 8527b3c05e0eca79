#!/usr/bin/env bash
# Sets up, builds, and converts the bundled sample documents of examples/ in a
# scratch folder, then lists what was written.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" > /dev/null
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn-example.XXXXXX")
cp -r "$root/examples/." "$scratch/"
echo "Converting the samples in $scratch"
status=0
for f in "$scratch"/*; do
  "$root/build/bin/quarn" "$f" || status=$?
done
echo
echo "Written:"
for t in "$scratch"/*.txt; do
  [[ -e "$t" ]] || continue
  printf '%8d bytes  %s\n' "$(stat -c %s "$t")" "$(basename "$t")"
done
exit $status
