#!/usr/bin/env bash
# Cross-builds convert3do.exe for 64-bit Windows with MinGW-w64 and, where wine
# is installed, runs the unit tests and converts the example model under it.
#
# usage: tools/cross_windows.sh [--install] [BUILD_DIR]
# --install installs g++-mingw-w64-x86-64 and wine64 from Debian when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = --install ]; then
  shift
  if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq g++-mingw-w64-x86-64 wine64 >/dev/null
  fi
fi
build=${1:-$root/build-windows}
mkdir -p "$build" && build=$(cd "$build" && pwd)
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$build/wineprefix}

cmake -S "$root" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/x86_64-w64-mingw32.cmake" \
  -DCONVERT3DO_GTEST_SOURCE_DIR=/usr/src/googletest -DCONVERT3DO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2
file "$build/convert3do.exe" 2>/dev/null || true
(cd "$build" && cpack -G ZIP >/dev/null && ls "$build"/convert3do-*.zip)

wine=$(command -v wine || command -v wine64 || true)
if [ -z "$wine" ]; then
  echo "wine is not installed: built $build/convert3do.exe without running it"
  exit 0
fi
"$wine" "$build/tests/convert3do_tests.exe" --gtest_brief=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/examples/cube.3do" "$work/cube.3do"
(cd "$work" && "$wine" "$build/convert3do.exe" cube.3do out.3do && "$wine" "$build/convert3do.exe" out.3do again.3do)
[ "$(wc -c <"$work/out.3do")" -eq 280 ] || { echo "the example converted to the wrong size"; exit 1; }
cmp "$work/out.3do" "$work/again.3do"
# The same file under another spelling is refused, and the input left alone.
status=0
(cd "$work" && "$wine" "$build/convert3do.exe" cube.3do .\\CUBE.3do) || status=$?
[ "$status" -eq 2 ] || { echo "the same file under another spelling gave status $status"; exit 1; }
cmp "$root/examples/cube.3do" "$work/cube.3do"
# A missing input gets the message and status 1, and no output appears. The
# console is in text mode, as Windows programs' consoles are: the line feed
# arrives as CR LF.
mkdir "$work/empty"
status=0
(cd "$work/empty" && "$wine" "$build/convert3do.exe" >../stdout) || status=$?
if [ "$status" -ne 1 ] || ! cmp -s "$work/stdout" <(printf 'FILE NOT FOUND!\r\n\a') ||
  [ -e "$work/empty/out.3do" ]; then
  echo "a missing input gave status $status and $(od -c "$work/stdout")"
  exit 1
fi
# Names outside the ANSI code page: a folder and files in Latin, Cyrillic and
# CJK script are opened, converted, refused as the same file and removed on a
# failed write, like any other name.
export LC_ALL=C.UTF-8
dir="$work/José/Модель"
mkdir -p "$dir"
cp "$root/examples/cube.3do" "$dir/模型.3do"
(cd "$work" && "$wine" "$build/convert3do.exe" "José/Модель/模型.3do" "José/Модель/выход.3do")
cmp "$work/out.3do" "$dir/выход.3do"
status=0
(cd "$work" && "$wine" "$build/convert3do.exe" "José/Модель/模型.3do" "José/Модель/./模型.3do" 2>/dev/null) ||
  status=$?
[ "$status" -eq 2 ] || { echo "a Unicode same-file name gave status $status"; exit 1; }
cmp "$root/examples/cube.3do" "$dir/模型.3do"
# 3do reads the same Unicode names, and predicts the conversion.
(cd "$work" && "$wine" "$build/3do.exe" check "José/Модель/выход.3do")
status=0
(cd "$work" && "$wine" "$build/3do.exe" info --json "José/Модель/模型.3do" >info.json) || status=$?
[ "$status" -eq 0 ] && grep -q '"output_size":280' "$work/info.json" ||
  { echo "3do info under wine: status $status, $(cat "$work/info.json")"; exit 1; }
# 3do convert: a tree of Unicode names mirrored into a folder, then the same
# models converted in place.
(cd "$work" && "$wine" "$build/3do.exe" convert -q -r -d "Вывод" "José")
cmp "$work/out.3do" "$work/Вывод/Модель/模型.3do"
(cd "$work" && "$wine" "$build/3do.exe" convert -q -i "José/Модель/模型.3do")
cmp "$work/out.3do" "$dir/模型.3do"
ls -A "$dir" | grep -q '\.tmp$' && { echo "3do convert left a temporary file"; exit 1; }
echo "windows: unit tests, the example conversion, 3do and Unicode names passed under wine"
