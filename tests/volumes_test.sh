#!/usr/bin/env bash
# Command-line tests of 3do convert where the file system is not a plain
# local disk left alone: folders moved or mounted over during a run, a FAT
# volume (through FUSE: no hard links, no rename that keeps its target, no
# modes, names compared without case), limits on file sizes and
# descriptors, and runs killed midway.
#
# usage: volumes_test.sh PATH/TO/3do CASE
# shellcheck source=cli_helpers.sh
. "$(dirname "$0")/cli_helpers.sh"

# models N FOLDER: N copies of the example, m1.3do to mN.3do, in FOLDER.
models() {
  mkdir -p "$2"
  for i in $(seq "$1"); do example_in >"$2/m$i.3do"; done
}

# left_overs: the temporary files of 3do convert below the working folder.
left_overs() { find . -type f -regextype posix-extended -regex '.*/\.[^/]*\.[0-9a-f]{6,}\.tmp'; }

# limited LIMIT ARGS...: runs the tool under the ulimit option LIMIT (such
# as "-f 16"), with SIGXFSZ ignored as by a shell that traps it, leaving its
# status in $status and its output in stdout and stderr.
limited() {
  local limit=$1
  shift
  # shellcheck disable=SC2086
  (trap '' XFSZ && ulimit $limit && exec timeout 20 "${tool_cmd[@]}" "$@") >stdout 2>stderr
  status=$?
}

case $case_name in
  folder_moved)
    # An output folder moved away or mounted over during the run: what was
    # named there and not yet found in place is taken back (or, in place, not
    # replaced) and reported, and what is reported converted is where it
    # belongs. The run is held as the second file is put in place (below -d
    # DIR, where one check serves a folder's outputs) or checked (in place,
    # before each rename).
    [ "$(id -u)" -eq 0 ] || skip "moving a mount needs root"
    # in | args | held at | change | failures | summary | what the folders hold afterwards
    while IFS='|' read -r namespace args function change failed summary holds; do
      rm -rf in out away
      models 3 in/sub
      mkdir away
      read -r -a hold_in <<<"$namespace"
      # shellcheck disable=SC2086
      held_at "$function" 1 "$change" convert -r -j 1 $args in
      expect_status 3
      message=$([ "$args" = -i ] && echo 'left as it is' || echo 'not written')
      [ "$(grep -c "^3do: in/sub/m[0-9].3do: its folder was moved during the run; $message$" stderr)" \
        -eq "$failed" ] || fail "$change: $(cat stderr)"
      grep -qx "3do: $summary" stderr || fail "$change: $(cat stderr)"
      eval "$holds" || fail "$change: not $holds: $(find out away in 2>/dev/null)"
      [ -z "$(left_overs)" ] || fail "$change: left $(left_overs)"
    done <<'TABLE'
|-d out|convert3do::TemporaryFile::commit|mv out/sub away/sub|3|0 converted, 3 failed, 0 bytes dropped|[ -z "$(ls away/sub)" ] && [ ! -e out/sub ]
unshare -m|-d out|convert3do::TemporaryFile::commit|mount -t tmpfs none out/sub|3|0 converted, 3 failed, 0 bytes dropped|[ -z "$(ls out/sub)" ]
|-i|convert3do::stillInPlace|mv in/sub away/sub|2|1 converted, 2 failed, 16 bytes dropped|cmp -s away/sub/m1.3do <(example_out) && cmp -s away/sub/m2.3do <(example_in) && cmp -s away/sub/m3.3do <(example_in)
TABLE
    ;;
  fat_volume)
    # FAT through FUSE can neither link nor rename without replacing, sets
    # no mode, and compares names without case: outputs are written all the
    # same, never over one another, and the dry run says what the run does.
    command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null || skip "no fusefat or mkfs.vfat"
    [ -w /dev/fuse ] || skip "no /dev/fuse"
    { truncate -s 32M fat.img && mkfs.vfat fat.img; } >/dev/null || fail "cannot make a FAT volume"
    mkdir fat && fusefat -o rw+ fat.img fat >/dev/null 2>&1 || skip "fusefat cannot mount here"
    trap 'umount "$work/fat"; rm -rf "$work"' EXIT
    models 3 in
    models 2 in/sub
    for name in case.3do Case.3do CASE.3DO; do example_in >"in/sub/$name"; done
    # args | status | summary
    while IFS='|' read -r args want summary; do
      # shellcheck disable=SC2086
      run convert $args in
      expect_status "$want"
      grep -qx "3do: $summary" stderr || fail "$args: $(cat stderr)"
      [ "$(cat stdout stderr | grep -c "in/sub/[cC][aA][sS][eE].3[dD][oO]: refused: its output .* is another input's output too")" \
        -eq 3 ] || fail "$args: not all three refused"
    done <<'TABLE'
-n -r -d fat/out|2|dry run: 5 would be converted, 3 refused, 80 bytes would be dropped
-r -d fat/out|2|5 converted, 3 refused, 80 bytes dropped
-f -r -d fat/out|2|0 converted, 5 up to date, 3 refused, 0 bytes dropped
TABLE
    for f in m1 m2 m3 sub/m1 sub/m2; do
      cmp -s "fat/out/$f.3do" <(example_out) || fail "fat/out/$f.3do is not the conversion"
    done
    [ "$(ls fat/out/sub)" = "$(printf 'm1.3do\nm2.3do')" ] || fail "in fat/out/sub: $(ls fat/out/sub)"
    # In place: the mode the new file must have is the one it has.
    mkdir fat/here && example_in >fat/here/m.3do
    run convert -i fat/here/m.3do
    expect_status 0
    cmp -s fat/here/m.3do <(example_out) || fail "not converted in place: $(cat stderr)"
    [ -z "$(left_overs)" ] || fail "left $(left_overs)"
    ;;
  failure_causes)
    # A failure names its file and its cause as the system gave it: a size
    # limit, and too few descriptors (never taken for a folder replaced).
    { words MAGIC 1 $((65536 + 12)) XYZS 0 65536; head -c 65536 /dev/urandom; } >big.3do
    cp big.3do before.3do
    # args | the message
    while IFS='|' read -r args message; do
      # shellcheck disable=SC2086
      limited "-f 16" convert $args big.3do
      expect_status 3
      grep -qx "3do: big.3do: $message" stderr || fail "$args: $(cat stderr)"
      cmp -s big.3do before.3do || fail "$args: the input changed"
    done <<'TABLE'
-i|cannot write its conversion: File too large; left as it is
-d out|cannot write out/big.3do: File too large
TABLE
    # (An emulator needs descriptors of its own: there only the size limit.)
    [ -n "${CONVERT3DO_EMULATOR:-}" ] && finish
    models 1 in/a/b/c/d
    for limit in 7 8 9; do
      rm -rf out
      limited "-n $limit" convert -r -j 1 -d out in
      [ "$status" -ne 0 ] || fail "ulimit -n $limit: status 0"
      grep -q 'replaced' stderr && fail "ulimit -n $limit: $(cat stderr)"
      grep -v '^3do: [0-9]* converted' stderr | grep -qv 'Too many open files' &&
        fail "ulimit -n $limit: a cause other than the real one: $(cat stderr)"
    done
    ;;
  left_overs)
    # Runs killed at random moments leave no temporary file, or one that the
    # next run names, with the command that removes them and nothing else.
    models 30 in/sub
    for _ in $(seq 10); do
      "${tool_cmd[@]}" convert -q -f -r -d out in 2>/dev/null &
      sleep "0.0$((RANDOM % 10))"
      kill -9 $! 2>/dev/null
      wait $! 2>/dev/null
    done
    mkdir -p out/sub
    touch out/.m1.3do.0a1b2c3.tmp out/sub/.m2.3do.abcdef0.tmp out/.notes.tmp out/sub/.m3.3do.tmp
    count=$(left_overs | wc -l)
    run convert -r -d out in
    [ "$(grep -c 'warning: temporary files left' stderr)" -eq 1 ] || fail "no one warning: $(cat stderr)"
    grep -q "^3do: out: warning: temporary files left by interrupted runs below it ($count); " stderr ||
      fail "not $count: $(cat stderr)"
    eval "$(sed -n 's/.*remove them with: //p' stderr)"
    [ -z "$(left_overs)" ] || fail "the command left $(left_overs)"
    [ -e out/.notes.tmp ] && [ -e out/sub/.m3.3do.tmp ] || fail "the command removed other files"
    [ "$(ls out/sub | wc -l)" -eq 30 ] || fail "outputs: $(ls out/sub | wc -l)"
    ;;
  *)
    fail "unknown case"
    ;;
esac
finish
