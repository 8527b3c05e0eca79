#!/usr/bin/env bash
# Checks that includes follow the layers: app -> ui -> process -> convert
# (app and ui may also use shell), libquarn sits between app's start-up and
# app's conversion units (the converter processes, ConvertFile) and is
# included by app alone, its public header includes nothing of the project,
# the conversion core never includes a
# filter module, and a module includes only the modules it links.
# Usage: include_directions.sh SOURCE_ROOT; prints each offending line.
set -euo pipefail
root=${1:?source root}
cd "$root"
status=0

# forbid FOLDER PATTERN WHY: no source below FOLDER includes a header matching PATTERN.
forbid() {
  local folder=$1 pattern=$2 why=$3 hits
  [[ -d $folder ]] || return 0
  hits=$(grep -rnE --include='*.h' --include='*.cpp' --include='*.c' "^#include \"($pattern)/" "$folder" || true)
  if [[ -n $hits ]]; then
    echo "$why:"
    echo "$hits"
    status=1
  fi
}

forbid convert 'app|ui|process|shell|libquarn' "convert/ includes a layer above it"
# The PDF text library compiles in the character-set conversion alone.
forbid pdfinfo 'app|ui|process|shell|libquarn|convert/filters' "pdfinfo/ includes a layer above it"
forbid process 'app|ui|shell|libquarn' "process/ includes a layer above it"
forbid ui 'app|libquarn' "ui/ includes app/ or libquarn/"
forbid shell 'app|ui|process|convert|libquarn' "shell/ includes another layer"
# The library converts one document: app's conversion units, never its
# start-up, batch mode or window, nor the queue.
forbid libquarn 'ui|shell|process|app/(startup|batch|signals|output_plan|window|quarn)' "libquarn/ includes the program's start-up or a layer above it"
if [[ -f libquarn/quarn.h ]] && grep -nE '^#include "' libquarn/quarn.h; then
  echo "^ the public header quarn.h includes a header of the project"
  status=1
fi

# The core (everything in convert/ outside the module folders) is loaded
# before any module and must not depend on one.
modules=$(find convert/filters -mindepth 1 -maxdepth 1 -type d ! -name common -printf '%f\n' | sort)
module_pattern=$(echo $modules | tr ' ' '|')
core_hits=$(grep -rnE --include='*.h' --include='*.cpp' "^#include \"convert/filters/($module_pattern)/" convert \
  $(printf -- '--exclude-dir=%s ' $modules) || true)
if [[ -n $core_hits ]]; then
  echo "the conversion core includes a filter module:"
  echo "$core_hits"
  status=1
fi

# A module may include another only when it links it (see each module's CMakeLists.txt).
for m in $modules; do
  cmake_file=convert/filters/$m/CMakeLists.txt
  [[ -f $cmake_file ]] || continue
  for other in $modules; do
    [[ $other == "$m" ]] && continue
    grep -q "quarn_$other\b" "$cmake_file" && continue
    hits=$(grep -rnE --include='*.h' --include='*.cpp' "^#include \"convert/filters/$other/" "convert/filters/$m" || true)
    if [[ -n $hits ]]; then
      echo "module $m includes module $other without linking it:"
      echo "$hits"
      status=1
    fi
  done
done

((status == 0)) && echo "include directions: fine"
exit $status
