#!/usr/bin/env bash
# Checks the shared library's exported names against its symbol map: each
# name of the map is exported with the version the map gives it, and nothing
# else is exported.
#
# usage: library_symbols.sh PATH/TO/libconvert3do.so PATH/TO/convert3do.map
set -u
command -v readelf >/dev/null || { echo "no readelf"; exit 77; }
library=$1 map=$2
# NAME@@VERSION for each function the map lists, in the map's order.
want=$(awk '/^CONVERT3DO_/ { version = $1 } /^ +convert3do_/ { sub(";", "", $1); print $1 "@@" version }' "$map" | sort)
# The same for each global function the library defines.
got=$(readelf --dyn-syms --wide "$library" | awk '$4 == "FUNC" && $5 == "GLOBAL" && $7 != "UND" { print $8 }' | sort)
if [ "$got" != "$want" ]; then
  diff <(echo "$want") <(echo "$got")
  echo "FAIL: the exported names differ from cmake/convert3do.map (< map, > library)"
  exit 1
fi
echo "ok: $(wc -l <<<"$got") names, each with its version"
