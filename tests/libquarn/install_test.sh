#!/usr/bin/env bash
# Installs the build into a scratch prefix and uses it as an embedding
# program would: the example C program, built with nothing but
# `pkg-config --cflags --libs quarn`, converts documents through the installed
# library (which starts the installed program as its converter); the library
# exports only quarn_* symbols; the installed Python package converts too.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
scratch=$(mktemp -d /tmp/quarn-install-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$scratch/install.log" || { cat "$scratch/install.log"; fail "install failed"; }
pc=$(find "$prefix" -name quarn.pc)
[[ -n $pc ]] || fail "no quarn.pc installed"
[[ -f $prefix/include/quarn.h ]] || fail "no quarn.h installed"
# The .pc names the configured prefix; --define-prefix moves it to the scratch one.
export PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --define-prefix --cflags --libs quarn)
libdir=$(pkg-config --define-prefix --variable=libdir quarn)
[[ -e $libdir/libquarn.so.1 ]] || fail "libquarn.so.1 is not in the libdir the .pc names ($libdir)"

# A sanitized build's library needs its runtime in the program too, and
# cannot be loaded into a Python that lacks it.
sanitized=0
if nm -D "$libdir/libquarn.so.1" | grep -q __asan_init; then sanitized=1; fi
cflags=(-std=c99 -Wall -Wextra -pedantic -Werror)
((sanitized)) && cflags+=(-fsanitize=address,undefined)
# shellcheck disable=SC2086
cc "${cflags[@]}" "$(find "$prefix" -path "*/examples/libquarn/example.c")" $flags -o "$scratch/example" ||
  fail "the example does not build with pkg-config's flags ($flags)"
# The header is C++ too.
echo '#include <quarn.h>
int main() { quarn_options o; quarn_options_init(&o); return 0; }' > "$scratch/cxx.cpp"
c++ -std=c++11 -Wall -Wextra -Werror -fsyntax-only $(pkg-config --define-prefix --cflags quarn) "$scratch/cxx.cpp" ||
  fail "quarn.h is not clean C++"

exported=$(nm -D --defined-only "$libdir/libquarn.so.1" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sed 's/@.*//' | grep -v '^quarn_' || true)
[[ -z $exported ]] || fail "libquarn exports more than quarn_*: $(echo $exported | head -c 300)"

mkdir -p "$scratch/docs"
printf '{\\rtf1\\ansi Embedded {\\b text}\\par}' > "$scratch/docs/a.rtf"
printf 'plain words\n' > "$scratch/docs/b.md"
: > "$scratch/docs/empty.md"
set +e
LD_LIBRARY_PATH=$libdir "$scratch/example" "$scratch/docs/a.rtf" "$scratch/docs/b.md" "$scratch/docs/empty.md" > "$scratch/out.txt" 2>&1
status=$?
set -e
cat "$scratch/out.txt"
[[ $status == 1 ]] || fail "the example ended with $status, not 1 (one document without text)"
grep -qx "$scratch/docs/a.rtf: $scratch/docs/a.txt, 14 characters (rtf)" "$scratch/out.txt" || fail "a.rtf not reported as written"
grep -q "empty.md: no_text: " "$scratch/out.txt" || fail "empty.md not reported without text"
[[ $(cat "$scratch/docs/a.txt") == "Embedded text" ]] || fail "a.txt holds \"$(cat "$scratch/docs/a.txt")\""
[[ $(cat "$scratch/docs/b.txt") == "plain words" ]] || fail "b.txt holds \"$(cat "$scratch/docs/b.txt")\""

if ((sanitized)); then
  echo "install_test: sanitized build, the Python package's call of the library left out"
else
  python_dir=$(dirname "$(find "$prefix" -path '*/quarn/__init__.py')")
  rm "$scratch/docs/a.txt"
  PYTHONPATH=$(dirname "$python_dir") python3 - "$scratch/docs/a.rtf" <<'PY' || fail "the installed Python package failed"
import sys, quarn
r = quarn.convert(sys.argv[1])
assert r.status == "written" and r.filter == "rtf" and r.text_chars == 14, r
assert open(r.output).read() == "Embedded text\n"
results = sorted(quarn.convert_many([sys.argv[1], sys.argv[1] + ".missing"]), key=lambda r: r.input)
assert [r.status for r in results] == ["written", "failed"], results
PY
fi
echo "install_test: fine"
