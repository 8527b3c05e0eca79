#!/usr/bin/env bash
# The desktop entry and the AppStream data are valid, and their media types,
# made from the built-in registrations, cover the formats the program reads:
# the same list in both, each type once.
# Usage: desktop_test.sh SHARE_DIR
# Exit status 77 (skipped) when desktop-file-utils or appstream is missing.
set -uo pipefail
share=$1
for tool in desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
desktop=$share/applications/quarn.desktop
metainfo=$(ls "$share"/metainfo/*.metainfo.xml)
status=0
fail() { echo "FAIL: $*"; status=1; }

out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate: $out"

desktop_types=$(sed -n 's/^MimeType=//p' "$desktop" | tr ';' '\n' | sed '/^$/d')
[[ -z $(sort <<<"$desktop_types" | uniq -d) ]] || fail "media types listed twice: $(sort <<<"$desktop_types" | uniq -d)"
metainfo_types=$(grep -oE '<mediatype>[^<]+</mediatype>' "$metainfo" | sed -E 's:</?mediatype>::g')
[[ $(sort <<<"$desktop_types") == $(sort <<<"$metainfo_types") ]] ||
  fail "the desktop entry and the AppStream data list different media types"
for type in text/plain text/html application/xml application/pdf application/rtf application/msword \
  application/vnd.ms-excel application/vnd.ms-powerpoint \
  application/vnd.openxmlformats-officedocument.wordprocessingml.document \
  application/vnd.openxmlformats-officedocument.spreadsheetml.sheet \
  application/vnd.openxmlformats-officedocument.presentationml.presentation \
  application/vnd.oasis.opendocument.text application/vnd.oasis.opendocument.spreadsheet \
  application/vnd.oasis.opendocument.presentation application/epub+zip message/rfc822; do
  grep -qxF "$type" <<<"$desktop_types" || fail "the desktop entry lacks $type"
done
((status == 0)) && echo "valid; $(wc -l <<<"$desktop_types") media types"
exit $status
