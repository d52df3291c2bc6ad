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
sources=(convert/*.cpp cli/*/*.cpp fuzz/*.cpp bench/*.cpp python/convert3do/_core.cpp)
jobs=$(nproc 2>/dev/null || echo 2)

# cppcheck runs beside clang-tidy. Tests are left to the compiler's warnings:
# their assertion macros are not written for these checks.
cppcheck_log=$(mktemp)
trap 'rm -f "$cppcheck_log"' EXIT
cppcheck --quiet -j "$jobs" --std=c++17 --language=c++ --enable=warning,style,performance,portability \
  --inline-suppr --suppress=missingIncludeSystem --error-exitcode=1 -I . \
  format convert cli fuzz bench >"$cppcheck_log" 2>&1 &
cppcheck_pid=$!

# clang-tidy, a file to a process, as many at once as there are cores; each
# file's findings are printed together. The fuzz target is not in the
# compile database, nor is the half of 3do that this build leaves out (with
# or without archives): they are checked with the same flags.
tidy_one() {
  local output code=0
  if [ "$1" = fuzz/convert_fuzzer.cpp ] || ! grep -q "\"file\": \".*/$1\"" "$build/compile_commands.json"; then
    output=$(clang-tidy --quiet "$1" -- -std=c++17 -I. -Itests 2>&1) || code=$?
  else
    output=$(clang-tidy --quiet -p "$build" "$1" 2>&1) || code=$?
  fi
  grep -v 'warnings generated' <<<"$output" || true
  return "$code"
}
export -f tidy_one
export build
status=0
printf '%s\0' "${sources[@]}" | xargs -0 -P "$jobs" -n 1 bash -c 'tidy_one "$1"' _ || status=1
wait "$cppcheck_pid" || status=1
cat "$cppcheck_log"

if [ "$status" -eq 0 ]; then
  echo "static analysis: clean"
fi
exit "$status"
