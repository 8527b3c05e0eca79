#!/usr/bin/env bash
# Rebuilds sample.chm from source/ with chmcmd (Free Pascal's help compiler,
# Debian package fp-utils); the tests read the committed result.
set -euo pipefail
cd "$(dirname "$0")/source"
chmcmd sample.hhp
mv sample.chm ..
