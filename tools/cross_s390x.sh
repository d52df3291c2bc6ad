#!/usr/bin/env bash
# Cross-builds convert3do for s390x (big-endian) and runs the unit and
# command-line tests under qemu-user.
#
# usage: tools/cross_s390x.sh [BUILD_DIR]
# Needs g++-s390x-linux-gnu, qemu-user and libgtest-dev (for its sources);
# with --install, installs them first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = --install ]; then
  shift
  if ! command -v s390x-linux-gnu-g++ >/dev/null || ! command -v qemu-s390x >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq g++-s390x-linux-gnu qemu-user >/dev/null
  fi
fi
build=${1:-$root/build-s390x}
mkdir -p "$build" && build=$(cd "$build" && pwd)

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/s390x-linux-gnu.cmake" \
  -DCONVERT3DO_GTEST_SOURCE_DIR=/usr/src/googletest -DCONVERT3DO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2
file "$build/convert3do" 2>/dev/null || true
ctest --test-dir "$build" --output-on-failure -j2
