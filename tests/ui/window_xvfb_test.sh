#!/usr/bin/env bash
# Runs the real program's window on a virtual X display: it must appear at
# the picture's size with its titles, show the picture, and end with status 0
# when closed.  Usage: window_xvfb_test.sh QUARN XCLOSE OUTDIR [DPI].
# Exit status 77 (skipped) when Xvfb or ImageMagick is missing.
set -uo pipefail
quarn=$1 xclose=$2 out=$3 dpi=${4:-96}
for tool in xvfb-run xwininfo xprop import convert; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
mkdir -p "$out"

if [[ -z "${QUARN_IN_XVFB:-}" ]]; then
  QUARN_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 480x360x24 -nolisten tcp" "$0" "$@"
fi

fail() { echo "FAIL: $*"; kill "$pid" 2>/dev/null; exit 1; }
unset QT_QPA_PLATFORM
QT_FONT_DPI=$dpi "$quarn" & pid=$!
for _ in $(seq 100); do xwininfo -name Quarn >/dev/null 2>&1 && break; sleep 0.1; done
xwininfo -name Quarn >/dev/null 2>&1 || fail "no window titled Quarn"
sleep 0.5
info=$(xwininfo -name Quarn)
width=$(awk '/Width:/ {print $2}' <<<"$info")
height=$(awk '/Height:/ {print $2}' <<<"$info")
x=$(awk '/Absolute upper-left X:/ {print $4}' <<<"$info")
y=$(awk '/Absolute upper-left Y:/ {print $4}' <<<"$info")
want_w=$(( (137 * dpi + 48) / 96 )) want_h=$(( (129 * dpi + 48) / 96 ))
[[ "$width" == "$want_w" && "$height" == "$want_h" ]] || fail "window is ${width}x${height}, want ${want_w}x${want_h}"
# Centred on the 480 x 360 screen.
(( x == (480 - width) / 2 && y == (360 - height) / 2 )) || fail "window at $x,$y is not centred"
props=$(xprop -name Quarn WM_NAME _NET_WM_ICON_NAME _NET_WM_STATE)
grep -q 'WM_NAME.*"Quarn"' <<<"$props" || fail "caption: $props"
grep -q '_NET_WM_ICON_NAME.*"Quarn"' <<<"$props" || fail "task-bar title: $props"
grep -q '_NET_WM_STATE_ABOVE' <<<"$props" || fail "not always on top: $props"

shot="$out/window-$dpi.png"
import -window root -crop "${width}x${height}+${x}+${y}" +repage "$shot" || fail "no screenshot"
# The dark picture fills the window, and the white label is on it.
mean=$(convert "$shot" -colorspace Gray -format '%[fx:mean]' info:)
white=$(convert "$shot" -colorspace Gray -threshold 90% -format '%[fx:mean*w*h]' info:)
awk -v m="$mean" 'BEGIN { exit !(m > 0.04 && m < 0.4) }' || fail "picture brightness $mean"
awk -v n="$white" 'BEGIN { exit !(n > 30) }' || fail "no white label text ($white pixels)"

"$xclose" Quarn || fail "cannot ask the window to close"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "still running 15 s after the close"
wait "$pid"; status=$?
[[ $status == 0 ]] || fail "exit status $status"
echo "window ${width}x${height} at $dpi dpi, screenshot $shot, closed with status 0"
