#!/usr/bin/env bash
# Writes examples/cube.3do: a small model with chunks of every recognised tag,
# an XYZS chunk of eight entries and an unrecognised chunk at the end.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/words.sh"

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
