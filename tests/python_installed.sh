#!/usr/bin/env bash
# The Python package as cmake --install puts it in a prefix: with only
# PYTHONPATH set (no LD_LIBRARY_PATH) it imports its compiled core from the
# prefix, and says what the installed 3do says.
#
# usage: python_installed.sh BUILD_DIR PYTHON MODEL
set -u
build=$1 python=$2 model=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "FAIL: cannot install"; exit 1; }
site=$prefix/lib/python3/dist-packages
[ -f "$site/convert3do/__init__.py" ] || { echo "FAIL: no package in $site"; exit 1; }
run() { (cd / && env -u LD_LIBRARY_PATH PYTHONPATH="$site" "$python" "$@"); }
loaded=$(run -c 'import convert3do._core as c; print(c.__file__)') || { echo "FAIL: cannot import"; exit 1; }
case $loaded in
  "$prefix"/*) ;;
  *) echo "FAIL: loaded $loaded, not the core in $prefix"; exit 1 ;;
esac
if ! cmp -s <(run -m convert3do info --json "$model") <("$prefix/bin/3do" info --json "$model"); then
  echo "FAIL: python3 -m convert3do info --json differs from 3do info --json"
  exit 1
fi
echo "ok: the installed package imports $loaded"
