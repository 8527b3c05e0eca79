#!/usr/bin/env bash
# Sets up, builds and runs every test: the normal build, then the whole suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, then the queue's
# tests under ThreadSanitizer, then the Debian packages are built, checked
# with lintian, installed on a clean Debian 12 root, used and removed.
# --quick runs the normal build only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

"$root/scripts/setup.sh"
jobs=$(nproc)

echo "== build and test"
"$root/scripts/build.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"
((quick)) && exit 0

echo "== address and undefined-behaviour sanitizers"
"$root/scripts/build.sh" "$root/build-asan" -DQUARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions="$root/tests/lsan.supp" \
  ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" -LE no_sanitizer

if [[ -d "$root/process" ]]; then
  echo "== thread sanitizer (queue)"
  "$root/scripts/build.sh" "$root/build-tsan" -DQUARN_TSAN=ON -DCMAKE_BUILD_TYPE=Debug -DQUARN_BUILD_GUI=OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" -R '^(Process|Queue|Worker)'
fi

echo "== Debian packages: build, lintian, install on a clean root, use, remove"
"$root/scripts/package.sh" "$root/build-deb"
"$root/scripts/install-test.sh" "$root/build-deb"
