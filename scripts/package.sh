#!/usr/bin/env bash
# Builds the Debian packages quarn and quarn-dev and checks them with lintian:
#   scripts/package.sh [OUTDIR]        (default: build-deb/ in the source tree)
# leaves OUTDIR/quarn_VERSION_ARCH.deb, OUTDIR/quarn-dev_VERSION_ARCH.deb and
# OUTDIR/python3-quarn_VERSION_ARCH.deb.
# The source tree (its tracked files and new ones not ignored) is copied to
# OUTDIR/src/quarn-VERSION first, so dpkg-buildpackage writes nothing beside
# the source.  The package's own tests are left out (DEB_BUILD_OPTIONS=nocheck)
# because scripts/test.sh runs them on the normal build; QUARN_PACKAGE_TESTS=1
# runs them in the package build too.  ccache is used when it is installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-deb}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# One version: the CMake project's, which debian/changelog must repeat.
version=$(sed -nE 's/^project\(Quarn VERSION ([0-9][0-9.]*).*/\1/p' "$root/CMakeLists.txt")
changelog=$(dpkg-parsechangelog -l "$root/debian/changelog" -SVersion)
upstream=${changelog#*:}
upstream=${upstream%-*}
if [[ -z $version || $upstream != "$version" ]]; then
  echo "package: debian/changelog is at $changelog but CMakeLists.txt at ${version:-?}; add a changelog entry" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)

src=$out/src/quarn-$version
rm -rf "$out/src"
mkdir -p "$src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [[ -e $f || -L $f ]] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -C "$src" -xf -
else
  tar -C "$root" --exclude='./build*' --exclude='./.git' --exclude='./out' -cf - . | tar -C "$src" -xf -
fi

options="parallel=$(nproc)"
profiles=()
if [[ ${QUARN_PACKAGE_TESTS:-0} != 1 ]]; then
  options+=" nocheck"
  profiles=(-Pnocheck)
fi
if [[ -d /usr/lib/ccache ]]; then
  export PATH=/usr/lib/ccache:$PATH CCACHE_BASEDIR=$src
fi
echo "== dpkg-buildpackage ($version, $arch)"
start=$SECONDS
(cd "$src" && DEB_BUILD_OPTIONS="$options ${DEB_BUILD_OPTIONS:-}" \
  dpkg-buildpackage -us -uc -b "${profiles[@]}") > "$out/build.log" 2>&1 ||
  { tail -n 25 "$out/build.log" | cut -c1-400; echo "package: dpkg-buildpackage failed, see $out/build.log" >&2; exit 1; }
echo "built in $((SECONDS - start)) s (log: $out/build.log)"

changes=$out/src/quarn_${version}_${arch}.changes
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
mv "$out"/src/*.ddeb "$out"/ 2>/dev/null || true
changes=$out/$(basename "$changes")

echo "== lintian"
start=$SECONDS
# Errors fail the build; warnings and notes are shown.
status=0
lintian --fail-on error --display-info "$changes" > "$out/lintian.log" 2>&1 || status=$?
cat "$out/lintian.log"
echo "lintian: $(grep -c '^E:' "$out/lintian.log" || true) errors, $(grep -c '^W:' "$out/lintian.log" || true) warnings," \
  "$(grep -c '^I:' "$out/lintian.log" || true) notes in $((SECONDS - start)) s"
((status == 0)) || { echo "package: lintian found errors" >&2; exit 1; }
ls -l "$out"/*.deb
