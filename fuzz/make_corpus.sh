#!/usr/bin/env bash
# Writes the fuzzer's seed corpus into fuzz/corpus: small hand-made 3do files
# covering each tag, both ends of the walk, odd lengths and damaged input.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/words.sh"
out=$here/corpus
mkdir -p "$out"

seed() { cat >"$out/seed-$1"; }

: | seed empty
printf '3DO4' | seed magic-forwards
words MAGIC | seed header-cut
words MAGIC 99 0 | seed header-only
words MAGIC 99 -4 HAND 1 4 9 | seed negative-body
words MAGIC 99 60 HAND 1 4 9 XYZS 2 16 8 1 2 3 JUNK 3 4 5 | seed worked-example
words MAGIC 0 44 XYZS 4 20 7 21 22 23 9 31 32 33 | seed xyzs-rounding
words MAGIC 0 56 PRIM 0 6 11 12 HAND 0 4 13 STRN 0 5 14 15 | seed plain-rounding
words MAGIC 0 36 PRIM 5 0 XYZS 6 -16 NORM 7 0x80000000 | seed empty-payloads
words MAGIC 0 100 NORM 1 48 1 2 3 4 5 6 7 8 9 10 11 12 PLAN 2 4 13 HAND 3 0 | seed past-bound
words MAGIC 0 16 HAND 1 4 9 1 2 3 | seed trailing-bytes
words MAGIC 0 100 HAND 1 4 9 PRIM 2 40 1 2 | seed cut-payload
{ words MAGIC 0 100 HAND 1 4 9; printf 'DN'; } | seed cut-tag
words MAGIC 0 0x7FFFFFFF NORM 1 0x7FFFFFFF 5 | seed huge-length
words MAGIC 0 0x7FFFFFFF HAND 1 4 9 XYZS 1 0x7FFFFFE1 | seed huge-sum
cp "$here/../examples/cube.3do" "$out/seed-cube"
