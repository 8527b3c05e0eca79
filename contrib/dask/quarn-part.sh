#!/bin/sh
# Runs quarn over one part written by "quarn_dask.py --split", for GNU parallel
# and Slurm job arrays (see the README):
#
#   quarn-part.sh PART LINES OUTPUT_DIR [QUARN_OPTIONS...]
#
# The part's JSON lines go to LINES, replacing what an earlier run of the part
# left, so that a part run again still leaves one line a document. $QUARN
# names the program (default: quarn on PATH).
# Exits 0 when quarn's status is a result of its documents (0; 3, some had no
# text; 1 with a document that failed), so that the job counts as done; else
# with quarn's status (2, 1 without a failed document, 128 and more for a
# signal), so that the scheduler runs the part again.
set -u
if [ $# -lt 3 ]; then
  echo "usage: quarn-part.sh PART LINES OUTPUT_DIR [QUARN_OPTIONS...]" >&2
  exit 2
fi
part=$1 lines=$2 out=$3
shift 3
"${QUARN:-quarn}" --batch --files-from "$part" -0 --jsonl --update --output-dir "$out" "$@" > "$lines.part"
status=$?
mv -f "$lines.part" "$lines" || exit 1
case $status in
  0 | 3) exit 0 ;;
  1) grep -q '"status":"failed"' "$lines" && exit 0 ;;
esac
echo "quarn-part.sh: $part: quarn ended with status $status; run this part again" >&2
exit "$status"
