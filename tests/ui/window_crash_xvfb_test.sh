#!/usr/bin/env bash
# Drops a folder holding good documents and one that crashes its converter
# onto the real program's window on a virtual X display: the window must
# live through it, write every good document, leave the crashing one
# without output, report the failure in a message box, close with status 0,
# and leave no process behind.
# Usage: window_crash_xvfb_test.sh QUARN XDROP XCLOSE SCRIPTED_PLUGIN OUTDIR
# Exit status 77 (skipped) when Xvfb or the X tools are missing.
set -uo pipefail
quarn=$1 xdrop=$2 xclose=$3 plugin=$4 out=$5
for tool in xvfb-run xwininfo; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

if [[ -z "${QUARN_IN_XVFB:-}" ]]; then
  QUARN_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 480x360x24 -nolisten tcp" "$0" "$@"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quarn-window-crash.XXXXXX")
tag="QUARN_TEST_TAG=window-crash-$$"
cleanup() {
  # Nothing the test started may outlive it.
  for p in /proc/[0-9]*; do
    tr '\0' '\n' < "$p/environ" 2>/dev/null | grep -qx "$tag" && kill -9 "${p#/proc/}" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
tagged() {  # the processes carrying the test's tag
  for p in /proc/[0-9]*; do
    tr '\0' '\n' < "$p/environ" 2>/dev/null | grep -qx "$tag" && echo "${p#/proc/}"
  done
}
titled() { xwininfo -root -tree 2>/dev/null | grep -c '"Quarn' || true; }

mkdir -p "$work/data/quarn/registry" "$work/docs" "$out"
cat > "$work/data/quarn/registry/scripted.reg" <<EOF
Windows Registry Editor Version 5.00
[HKEY_LOCAL_MACHINE\\Software\\Classes\\.qs\\PersistentHandler]
@="{5155524E-7E57-4000-8000-0000000000A1}"
[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{5155524E-7E57-4000-8000-0000000000A1}\\PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}]
@="{5155524E-7E57-4000-8000-000000000001}"
[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{5155524E-7E57-4000-8000-000000000001}\\InprocServer32]
@="$plugin"
EOF
for i in 1 2 3 4 5 6; do printf 'good document %d\n' "$i" > "$work/docs/good$i.md"; done
printf 'crash\n' > "$work/docs/crash.qs"

unset QT_QPA_PLATFORM
env "$tag" XDG_DATA_DIRS="$work/data" "$quarn" & pid=$!
for _ in $(seq 100); do xwininfo -name Quarn >/dev/null 2>&1 && break; sleep 0.1; done
xwininfo -name Quarn >/dev/null 2>&1 || fail "no window titled Quarn"
sleep 0.5

"$xdrop" Quarn "$work/docs" || fail "the window did not take the drop"
# The run ends with one message box listing the failure.
for _ in $(seq 300); do (( $(titled) >= 2 )) && break; sleep 0.1; done
(( $(titled) >= 2 )) || fail "no message box after the run"
kill -0 "$pid" 2>/dev/null || fail "the window ended with the crashing document"
for i in 1 2 3 4 5 6; do
  grep -q "good document $i" "$work/docs/good$i.txt" 2>/dev/null || fail "good$i.md was not converted"
done
[[ -e "$work/docs/crash.txt" ]] && fail "the crashing document has an output"
import -window root "$out/window-crash.png" 2>/dev/null || true

"$xclose" Quarn --last || fail "cannot close the message box"
for _ in $(seq 50); do (( $(titled) < 2 )) && break; sleep 0.1; done
"$xclose" Quarn || fail "cannot ask the window to close"
for _ in $(seq 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "still running 15 s after the close"
wait "$pid"; status=$?
[[ $status == 0 ]] || fail "exit status $status"
left=$(tagged)
[[ -z $left ]] || fail "processes left behind: $left"
echo "crash in one of 7 dropped documents: window lived, 6 written, failure reported, closed with status 0"
