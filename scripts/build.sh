#!/usr/bin/env bash
# Configures and builds Quarn in a build folder: scripts/build.sh [FOLDER [cmake options...]].
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$dir.cmake.log" 2>&1 ||
  { cat "$dir.cmake.log"; exit 1; }
cmake --build "$dir" -j "$(nproc)"
