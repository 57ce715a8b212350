#!/usr/bin/env bash
# Writes the romlift sample S-record files into this folder: one per product
# header line, each with eight data records and an end record, and
# dv-9-damaged.s19 whose fourth line has a wrong checksum. The files come from
# bootsim --make-samples; bootsim is built first when it is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${BUILD_DIR:-$top/build}
bootsim="$build/sim/bootsim/bootsim"
if [ ! -x "$bootsim" ]; then
  cmake -S "$top" -B "$build" >/dev/null
  cmake --build "$build" --target bootsim -j2
fi
"$bootsim" --make-samples "$here"
ls "$here"/*.s19
