#!/usr/bin/env bash
# Runs clang-tidy (configured by .clang-tidy) and cppcheck over the program,
# the fuzz target and the benchmark; fails on any finding.
#
# usage: tools/static_analysis.sh [BUILD_DIR]
# BUILD_DIR gets a compile_commands.json; it defaults to build-analysis.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-analysis}
cd "$root"

cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCONVERT3DO_BUILD_TESTS=OFF >/dev/null
sources=(convert/*.cpp cli/*/*.cpp fuzz/*.cpp bench/*.cpp)
# The fuzz target is not in the compile database; it is checked with the same flags.
status=0
tidy() {
  local output code=0
  output=$(clang-tidy --quiet "$@" 2>&1) || code=$?
  grep -v 'warnings generated' <<<"$output" || true
  return "$code"
}
for source in "${sources[@]}"; do
  if [ "$source" = fuzz/convert_fuzzer.cpp ]; then
    tidy "$source" -- -std=c++17 -I. -Itests || status=1
  else
    tidy -p "$build" "$source" || status=1
  fi
done

# Tests are left to the compiler's warnings: their assertion macros are not
# written for these checks.
cppcheck --quiet --std=c++17 --language=c++ --enable=warning,style,performance,portability \
  --inline-suppr --suppress=missingIncludeSystem --error-exitcode=1 -I . \
  format convert cli fuzz bench || status=1

if [ "$status" -eq 0 ]; then
  echo "static analysis: clean"
fi
exit "$status"
