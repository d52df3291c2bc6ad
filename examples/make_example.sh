#!/usr/bin/env bash
# Writes examples/cube.3do: a small model with chunks of every recognised tag,
# an XYZS chunk of eight entries and an unrecognised chunk at the end.
#
# usage: examples/make_example.sh [FOLDER]
# With FOLDER, also writes a few models to try 3do on: FOLDER/cube.3do, one
# already converted (FOLDER/ships/scout.3do), one cut short in its second chunk
# (FOLDER/ships/wreck.3do), and a file that is not a 3do file
# (FOLDER/notes.3do).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/words.sh"
folder=${1:-}

{
  # Header: magic, an opaque word, and the chunk area's length (284 bytes,
  # including the 16-byte unrecognised chunk at the end).
  words MAGIC 1 284
  # STRN: the model's name, 5 bytes padded to 8.
  words STRN 0 5; printf 'cube\0\0\0\0'
  # XYZS: eight corners, one 16-byte entry each; the first word of each entry
  # is rewritten to 1 by the converter.
  words XYZS 0 128
  words 0 -100 -100 -100   0 100 -100 -100   0 100 100 -100   0 -100 100 -100
  words 7 -100 -100 100    7 100 -100 100    7 100 100 100    7 -100 100 100
  # NORM: six face normals as packed words.
  words NORM 0 24 0x00010000 0xFFFF0000 0x00000100 0x0000FF00 0x00000001 0x000000FF
  # PLAN: one plane, a 6-byte payload padded to 8.
  words PLAN 0 6 0x00640000 0x00000064
  # PRIM: two primitives, twelve bytes.
  words PRIM 0 12 0x00040001 0x00030002 0x00070006
  # HAND: a handle with an empty payload, and one with a word.
  words HAND 0 0
  words HAND 1 4 42
  # An unrecognised chunk: the converted copy ends just before it.
  words 0x4C474854 0 4 0x0000FFFF
} >"$here/cube.3do"

if [ -n "$folder" ]; then
  mkdir -p "$folder/ships"
  cp "$here/cube.3do" "$folder/cube.3do"
  # Converted already: every entry's first word is 1, and the length field
  # states the chunks present.
  words MAGIC 1 44 STRN 0 4 0x73636F75 XYZS 0 16 1 5 5 5 >"$folder/ships/scout.3do"
  # Cut short: the XYZS chunk states 32 bytes, and 20 are there.
  { words MAGIC 1 64 HAND 0 4 7 XYZS 0 32 3 1 1 1 9; } >"$folder/ships/wreck.3do"
  printf 'This folder holds the models of the fleet.\n' >"$folder/notes.3do"
fi
