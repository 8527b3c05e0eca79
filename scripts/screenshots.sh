#!/usr/bin/env bash
# Takes the README's three pictures of the real window (waiting, processing,
# done) on a virtual X display and writes them to assets/screenshots/.
# The run converts a copy of the window tests' sample folder; a small driver
# (tests/ui/window_shots.cpp) drops it onto the window as a file manager's
# drag arrives and slows each document down so the run can be caught.
# Usage: scripts/screenshots.sh [BUILD-FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (scripts/setup.sh installs it)"; exit 1; }
cmake --build "$build" --target quarn_window_shots >/dev/null
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarn-shots.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
folder="$scratch/Documents/Field notes & logs"
mkdir -p "$folder"
cp -r "$root/tests/data/ui/docs/." "$folder/"
out="$root/assets/screenshots"
mkdir -p "$out"
env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 480x360x24 -nolisten tcp" \
  "$build/bin/quarn_window_shots" "$out" "$folder"
ls -l "$out"
