#!/usr/bin/env bash
# Builds the libFuzzer target with clang and runs it.
#
# usage: fuzz/run.sh SECONDS [BUILD_DIR]
# Starts from the seeds in fuzz/corpus; new inputs go to BUILD_DIR/corpus and
# crashes to BUILD_DIR/crashes. Copy a crash into fuzz/corpus once it is
# fixed, so that every build replays it; inputs that reach new paths can be
# kept there too (fuzz/corpus/found-*, merged with -merge=1). The target takes
# its window (16 to 64 bytes) and the sizes of the pieces it feeds the library
# from each input, so that small inputs reach every path across their edges.
set -euo pipefail
seconds=${1:?usage: fuzz/run.sh SECONDS [BUILD_DIR]}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build-fuzz}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  -DCONVERT3DO_FUZZER=ON -DCONVERT3DO_BUILD_TESTS=OFF -DCONVERT3DO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target convert3do_fuzzer
mkdir -p "$build/corpus" "$build/crashes"
"$build/convert3do_fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$build/crashes/" "$build/corpus" "$root/fuzz/corpus"
