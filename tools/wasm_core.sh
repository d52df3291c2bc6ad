#!/usr/bin/env bash
# Compiles the conversion core alone for wasm32, a target with no operating
# system and no C library (-nostdlib): only wasm/memory.c is added. Fails if
# the module imports anything, which would mean the core reaches outside
# itself (I/O, allocation, globals of a runtime).
#
# usage: tools/wasm_core.sh OUT_DIR [NAME EXTRA.c...]
# writes OUT_DIR/NAME.wasm (convert3do-core.wasm by default); the browser build
# adds web/glue.c, which must import nothing either.
# Needs Debian's clang, lld, wasi-libc and libc++-14-dev-wasm32 (for headers).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: tools/wasm_core.sh OUT_DIR [NAME EXTRA.c...]}
name=${2:-convert3do-core}
shift $(($# < 2 ? $# : 2))
mkdir -p "$out"
libcxx=$(ls -d /usr/include/wasm32-wasi/c++/v1 /usr/lib/llvm-*/include/wasm32-wasi/c++/v1 2>/dev/null |
  head -1)
[ -n "$libcxx" ] || { echo "no libc++ headers for wasm32 (apt-get install libc++-14-dev-wasm32)"; exit 1; }
flags=(--target=wasm32 -O2 -mbulk-memory -fno-exceptions -fno-rtti -fvisibility=hidden -nostdlib
  -isystem "$libcxx" -isystem /usr/include/wasm32-wasi -D__wasi__ -I"$root" -I"$root/convert")
objects=()
# Every source of the core but its allocator (convert3do_alloc.cpp), whose
# place wasm/memory.c takes.
for source in "$root"/convert/*.cpp; do
  [ "$(basename "$source")" != convert3do_alloc.cpp ] || continue
  object=$out/$(basename "$source" .cpp).o
  clang++ -std=c++17 "${flags[@]}" -c "$source" -o "$object"
  objects+=("$object")
done
for source in "$root/wasm/memory.c" "$@"; do
  object=$out/$(basename "$source" .c).o
  clang --target=wasm32 -std=c11 -O2 -mbulk-memory -ffreestanding -fno-builtin -nostdlib -fvisibility=hidden \
    -isystem /usr/include/wasm32-wasi -I"$root/convert" -c "$source" -o "$object"
  objects+=("$object")
done
wasm-ld --no-entry --export-dynamic "${objects[@]}" -o "$out/$name.wasm"
echo "$out/$name.wasm: $(stat -c %s "$out/$name.wasm") bytes"
python3 "$root/wasm/imports.py" "$out/$name.wasm"
