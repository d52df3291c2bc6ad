#!/usr/bin/env bash
# The README's examples run as written: in every fenced block, each line
# that starts with "$ " is run (in order, in one scratch folder holding a copy
# of examples/ and tools/words.sh, with the built programs first on PATH), and the lines after it
# are what it prints on standard output, one for one; a line that ends in
# " ..." stands for any line that starts with what comes before.
#
# usage: readme_test.sh README BUILD_DIR
set -u
readme=$1 build=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tools"
cp -r "$(dirname "$readme")/examples" "$work/examples"
cp "$(dirname "$readme")/tools/words.sh" "$work/tools/"  # what examples/make_example.sh uses
export PATH="$build:$PATH"
failures=0

# check COMMAND EXPECTED_FILE: runs COMMAND, compares its standard output.
check() {
  (cd "$work" && bash -c "$1" >"$work/got" 2>/dev/null)
  python3 -c '
import sys
command, want, got = sys.argv[1], open(sys.argv[2]).read().splitlines(), open(sys.argv[3]).read().splitlines()
ok = len(got) == len(want) and all(
    g.startswith(w[:-4]) if w.endswith(" ...") else g == w for g, w in zip(got, want))
if not ok:
    print(f"FAIL: $ {command}\nwant:\n" + "\n".join(want) + "\ngot:\n" + "\n".join(got))
sys.exit(0 if ok else 1)' "$1" "$2" "$work/got" || failures=$((failures + 1))
}

command="" in_block=0 count=0
: >"$work/want"
while IFS= read -r line; do
  if [[ $line == '```'* ]]; then
    [ -n "$command" ] && { check "$command" "$work/want"; count=$((count + 1)); }
    command="" in_block=$((1 - in_block))
    : >"$work/want"
  elif ((in_block)) && [[ $line == '$ '* ]]; then
    [ -n "$command" ] && { check "$command" "$work/want"; count=$((count + 1)); }
    command=${line#\$ }
    : >"$work/want"
  elif ((in_block)) && [ -n "$command" ]; then
    printf '%s\n' "$line" >>"$work/want"
  fi
done <"$readme"
[ "$count" -gt 0 ] || { echo "FAIL: no example found in $readme"; exit 1; }
[ "$failures" -eq 0 ] || exit 1
echo "ok: $count examples"
