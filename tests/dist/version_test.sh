#!/usr/bin/env bash
# Every place the version goes says the project's version: the program's
# --version, the manual page, the AppStream release, the plug-in SDK's
# pkg-config file and the Debian package's changelog (whose upstream part,
# without an epoch or a Debian revision, must be the same).
# Usage: version_test.sh VERSION SOURCE_DIR QUARN SHARE_DIR PKGCONFIG_FILE
set -uo pipefail
version=$1 source=$2 quarn=$3 share=$4 pc=$5
status=0
check() { # check WHERE FOUND
  if [[ $2 != "$version" ]]; then
    echo "FAIL: $1 says \"$2\", the project is $version"
    status=1
  fi
}

check "quarn --version" "$("$quarn" --version | sed -n 's/^Velmor Quarn version //p')"
if [[ -f $source/debian/changelog ]]; then
  changelog=$(head -n 1 "$source/debian/changelog" | sed -nE 's/^[^ ]+ \(([^)]+)\).*/\1/p')
  changelog=${changelog#*:}
  [[ $changelog == *-* ]] && changelog=${changelog%-*}
  check "debian/changelog" "$changelog"
fi
check "the pkg-config file" "$(sed -n 's/^Version: //p' "$pc")"
if [[ -f $share/man/man1/quarn.1 ]]; then
  check "the manual page" "$(sed -nE 's/^\.TH .*"Quarn ([^"]+)".*/\1/p' "$share/man/man1/quarn.1")"
fi
for metainfo in "$share"/metainfo/*.metainfo.xml; do
  [[ -f $metainfo ]] || continue
  check "the AppStream release" "$(grep -oE '<release version="[^"]+"' "$metainfo" | head -n 1 | sed -E 's/.*"(.*)"/\1/')"
done
((status == 0)) && echo "version $version everywhere"
exit $status
