#!/usr/bin/env bash
# Configuring where libzip cannot be found says so plainly, and 3do is then
# built without archives (its own test: the cache says so).
#
# usage: no_archives_test.sh SOURCE_DIR
set -u
source=$1
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
PKG_CONFIG_LIBDIR=/nonexistent cmake -S "$source" -B "$build" -DCONVERT3DO_BUILD_WEB=OFF \
  >"$build/log" 2>&1 || { cat "$build/log"; exit 1; }
grep -q "3do is built WITHOUT zip archives: libzip or zlib not found by pkg-config" "$build/log" ||
  { echo "FAIL: no word of archives:"; cat "$build/log"; exit 1; }
grep -qx "CONVERT3DO_ARCHIVES:INTERNAL=OFF" "$build/CMakeCache.txt" ||
  grep -q "archive_none.cpp" "$build/CMakeFiles/convert3do_three_do.dir/build.make" ||
  { echo "FAIL: archives are built all the same"; exit 1; }
echo "configuring without libzip says: $(grep -o '3do is built WITHOUT.*' "$build/log")"
