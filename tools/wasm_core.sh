#!/usr/bin/env bash
# Compiles the conversion core alone for wasm32, a target with no operating
# system and no C library (-nostdlib): only wasm/memory.c is added. Fails if
# the module imports anything, which would mean the core reaches outside
# itself (I/O, allocation, globals of a runtime).
#
# usage: tools/wasm_core.sh OUT_DIR
# Needs Debian's clang, lld, wasi-libc and libc++-14-dev-wasm32 (for headers).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: tools/wasm_core.sh OUT_DIR}
mkdir -p "$out"
libcxx=$(ls -d /usr/include/wasm32-wasi/c++/v1 /usr/lib/llvm-*/include/wasm32-wasi/c++/v1 2>/dev/null |
  head -1)
[ -n "$libcxx" ] || { echo "no libc++ headers for wasm32 (apt-get install libc++-14-dev-wasm32)"; exit 1; }
flags=(--target=wasm32 -O2 -fno-exceptions -fno-rtti -fvisibility=hidden -nostdlib
  -isystem "$libcxx" -isystem /usr/include/wasm32-wasi -D__wasi__ -I"$root" -I"$root/convert")
objects=()
for source in convert/convert.cpp convert/survey.cpp convert/convert3do_c.cpp; do
  object=$out/$(basename "$source" .cpp).o
  clang++ -std=c++17 "${flags[@]}" -c "$root/$source" -o "$object"
  objects+=("$object")
done
clang --target=wasm32 -O2 -ffreestanding -fno-builtin -nostdlib -c "$root/wasm/memory.c" \
  -o "$out/memory.o"
wasm-ld --no-entry --export-dynamic "${objects[@]}" "$out/memory.o" -o "$out/convert3do-core.wasm"
echo "$out/convert3do-core.wasm: $(stat -c %s "$out/convert3do-core.wasm") bytes"
python3 "$root/wasm/imports.py" "$out/convert3do-core.wasm"
