#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds examples/c/stream_convert
# against it twice, as a user of the library would: with pkg-config and with
# CMake's find_package. Both must convert generated models exactly as
# convert3do does, fed in pieces of several sizes, and exit 0 (converted),
# 4 (damaged) or 7 (not a 3do file) as convert3do's output says.
#
# usage: tools/installed_library_check.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: tools/installed_library_check.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name convert3do.pc)")
export LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name 'libconvert3do.so' | head -1)")
cc -std=c99 -Wall -Wextra -Werror "$root/examples/c/stream_convert.c" \
  $(pkg-config --cflags --libs convert3do) -o "$work/stream_convert_pc"
cmake -S "$root/examples/c" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
# The README's example program, as a reader would paste it.
awk '/^A complete program that converts a file held in memory:/ { found = 1; next }
     found && /^```c/ { inside = 1; next } inside && /^```/ { exit } inside' \
  "$root/README.md" >"$work/readme_example.c"
cc -std=c99 -Wall -Wextra -Werror "$work/readme_example.c" $(pkg-config --cflags --libs convert3do) \
  -o "$work/readme_example"
"$work/readme_example" "$root/examples/cube.3do" "$work/readme.3do"
"$build/convert3do" "$root/examples/cube.3do" "$work/expected.3do"
cmp "$work/readme.3do" "$work/expected.3do" || { echo "FAILED: the README's example"; exit 1; }
echo "built stream_convert with pkg-config and with find_package, and the README's example"

# Models: valid ones of many chunks, the same cut short, damaged, and
# not 3do files; one of a few MiB, so that pieces and buffers fall everywhere.
mkdir "$work/models"
python3 - "$work/models" <<'PY'
import os, random, struct, sys
out = sys.argv[1]
rng = random.Random(20261207)
tags = [b'DNAH', b'MRON', b'NALP', b'MIRP', b'NRTS', b'SZYX']
def model(chunks, big):
    body = b''
    for _ in range(chunks):
        tag = rng.choice(tags)
        length = rng.randrange(0, 70000 if big else 90)
        unit = 16 if tag == b'SZYX' else 4
        size = (length + unit - 1) // unit * unit
        body += tag + struct.pack('<ii', rng.randrange(-9, 9), length) + os.urandom(size)
    return b'3DO4' + struct.pack('<ii', 1, len(body)) + body
files = {'empty': b'', 'not3do': os.urandom(100), 'magic-only': b'3DO4\0\0'}
for i in range(12):
    m = model(rng.randrange(1, 40), i == 0)
    files['model%d' % i] = m
    files['cut%d' % i] = m[:rng.randrange(1, len(m))]
    files['junk%d' % i] = m + b'KNUJ' + os.urandom(rng.randrange(0, 30))
for name, data in files.items():
    with open(os.path.join(out, name + '.3do'), 'wb') as f:
        f.write(data)
PY

checked=0
for model in "$work"/models/*.3do; do
  status=0
  "$build/convert3do" "$model" "$work/expected" >"$work/message" 2>/dev/null || status=$?
  if grep -q 'not in' "$work/message"; then
    status=7
  fi
  size=$(stat -c %s "$model")
  for piece in 1 7 36 4096 1048576; do
    [ "$piece" -eq 1 ] && [ "$size" -gt 100000 ] && continue
    for program in "$work/stream_convert_pc" "$work/example/stream_convert"; do
      got=0
      "$program" "$piece" <"$model" >"$work/output" 2>/dev/null || got=$?
      if [ "$got" -ne "$status" ] || ! cmp -s "$work/output" "$work/expected"; then
        echo "FAILED: $(basename "$program") $piece < $(basename "$model"): status $got, expected $status"
        exit 1
      fi
      checked=$((checked + 1))
    done
  done
done
echo "stream_convert: $checked runs agree with convert3do"
