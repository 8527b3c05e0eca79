#!/usr/bin/env bash
# "quarn --help" and the manual page agree: every option the usage names has
# an entry in the OPTIONS section of the manual's source ("*--name*" at the
# start of a line), and every entry there is an option the usage names.  The
# built page must render without warnings.
# Usage: help_manual_test.sh QUARN MANUAL_SOURCE BUILT_PAGE
set -uo pipefail
quarn=$1 source=$2 page=$3
status=0

help_options=$("$quarn" --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)
manual_options=$(awk '/^# / { in_options = ($0 == "# OPTIONS") } in_options' "$source" |
  grep -oE '^\*--[a-z][a-z0-9-]*' | sed 's/^\*//' | sort -u)
[[ -n $help_options ]] || { echo "FAIL: quarn --help names no option"; exit 1; }
undocumented=$(comm -23 <(echo "$help_options") <(echo "$manual_options"))
unknown=$(comm -13 <(echo "$help_options") <(echo "$manual_options"))
if [[ -n $undocumented ]]; then
  echo "FAIL: options of quarn --help without an entry under OPTIONS in $source:"
  echo "$undocumented"
  status=1
fi
if [[ -n $unknown ]]; then
  echo "FAIL: options under OPTIONS in $source that quarn --help does not name:"
  echo "$unknown"
  status=1
fi

if [[ ! -f $page ]]; then
  echo "skipped: no built manual page (scdoc is missing)"
  exit $((status ? status : 77))
fi
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
  [[ -z $warnings ]] || { echo "FAIL: the manual page renders with warnings:"; echo "$warnings"; status=1; }
fi
((status == 0)) && echo "$(wc -l <<<"$help_options") options, the same in --help and the manual"
exit $status
