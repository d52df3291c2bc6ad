# What the command-line tests of 3do share: the process-level helpers of
# cli_helpers.sh, and JSON, models, comparisons and holds of their own.
# shellcheck source=cli_helpers.sh
. "$(dirname "${BASH_SOURCE[0]}")/cli_helpers.sh"

# json EXPRESSION: evaluates a Python expression over the JSON Lines on stdout,
# bound to `lines` (a list of objects); fails the case unless it is true.
json() {
  command -v python3 >/dev/null || skip "no python3 to parse JSON"
  python3 -c 'import json, sys
lines = [json.loads(l) for l in open("stdout")]
sys.exit(0 if eval(sys.argv[1]) else 1)' "$1" || fail "JSON: $1 is false for: $(head -c 600 stdout)"
}


# xyzs_model FILE KIB: a model of one XYZS chunk of KIB KiB of random entries,
# whose conversion changes every entry.
xyzs_model() {
  local bytes=$(($2 * 1024))
  { words MAGIC 1 $((bytes + 12)) XYZS 0 "$bytes"; head -c "$bytes" /dev/urandom; } >"$1"
}

# same_bytes A B: fails the case unless the files are identical.
same_bytes() { cmp -s "$1" "$2" || fail "$1 and $2 differ"; }

# no_temporaries: fails the case if a temporary file was left anywhere below.
no_temporaries() {
  [ -z "$(find . -name '.*.tmp')" ] || fail "temporary files left: $(find . -name '.*.tmp')"
}

# held CHANGE ARGS...: held_at, at the first fsync (the new file's, just
# before the rename).
held() {
  local change=$1
  shift
  held_at fsync 0 "$change" "$@"
}
