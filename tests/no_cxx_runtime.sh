#!/usr/bin/env bash
# Fails if the statically linked convert3do holds any of the C++ runtime
# library (operator new, exceptions, std::function and the like): the
# program is plain C at run time, small and quick to start. Skipped (77) for
# a dynamically linked build or where nm is missing.
#
# usage: no_cxx_runtime.sh PATH/TO/convert3do
set -u
binary=$1
command -v nm >/dev/null || exit 77
readelf -d "$binary" 2>/dev/null | grep -q NEEDED && exit 77
runtime=$(nm "$binary" | grep -E ' [TW] (_Znw|_Znam|_ZSt|__cxa_(throw|begin_catch|allocate_exception|guard_acquire|pure_virtual)|__gxx_personality)' | head -5)
if [ -n "$runtime" ]; then
  echo "convert3do links C++ runtime code:"
  echo "$runtime"
  exit 1
fi
