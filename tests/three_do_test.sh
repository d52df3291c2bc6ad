#!/usr/bin/env bash
# Command-line tests of 3do info and 3do check. JSON is parsed (python3), not
# compared as text.
#
# usage: three_do_test.sh PATH/TO/3do CASE [PATH/TO/examples/cube.3do]
# shellcheck source=cli_helpers.sh
. "$(dirname "$0")/cli_helpers.sh"

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

case $case_name in
  help_and_version)
    for args in --help "help" "help info" "help check" "info --help" "help --help" "help help" "help convert"; do
      # shellcheck disable=SC2086
      run $args
      expect_status 0; grep -q '^usage: 3do' stdout || fail "$args: no usage"
    done
    run --version
    expect_status 0; grep -qE '^3do [0-9]+\.[0-9]+\.[0-9]+$' stdout || fail "version: $(cat stdout)"
    for args in "" "frobnicate x" "info" "info --bogus x" "help frobnicate"; do
      # shellcheck disable=SC2086
      run $args
      expect_status 2; [ -s stderr ] || fail "'$args': no message"
    done
    ;;
  info_example)
    run info "$3"
    expect_status 0
    for line in '^ +32  XYZS +0 +128 +140 +8 +8$' 'length field 284$' \
      'unrecognised tag, LGHT, at byte 280' 'writes 280 bytes, length field 268, changes 9 words, drops 16 bytes'; do
      grep -qE "$line" stdout || fail "no line like '$line' in: $(cat stdout)"
    done
    run info --json "$3"
    expect_status 0
    json 'len(lines) == 1 and lines[0]["size"] == 296 and lines[0]["is_3do"] and lines[0]["length_field"] == 284'
    json '[c["tag"] for c in lines[0]["chunks"]] == ["STRN", "XYZS", "NORM", "PLAN", "PRIM", "HAND", "HAND"]'
    json 'lines[0]["chunks"][1]["entries"] == 8 and lines[0]["chunks"][1]["entries_to_change"] == 8'
    json 'lines[0]["walk_end"] == "unrecognised_tag" and lines[0]["end_offset"] == 280 and lines[0]["end_tag"] == "LGHT"'
    json 'lines[0]["output_size"] == 280 and lines[0]["output_length_field"] == 268 and lines[0]["words_changed"] == 9'
    json 'lines[0]["bytes_dropped"] == 16 and not lines[0]["already_converted"] and lines[0]["exit_status"] == 0'
    ;;
  info_json_ends)
    # Every way a walk ends, in one run; the exit status is the gravest.
    example_out >done.3do
    words MAGIC 0 4 XYZS 0 16 1 2 3 4 >over.3do
    words MAGIC 0 100 HAND 0 0 >short.3do
    words MAGIC 0 100 PRIM 0 40 1 >cut.3do
    printf 'hello' >text.txt
    words MAGIC 0 100 $((0x01020304)) 0 0 >odd.3do
    run info --json done.3do over.3do short.3do cut.3do text.txt odd.3do missing.3do
    expect_status 1
    grep -q "^3do: missing.3do: cannot open: No such file or directory$" stderr || fail "$(cat stderr)"
    json '[l["walk_end"] for l in lines] == ["bound", "bound", "end_of_input", "damaged", "not_3do", "unrecognised_tag"]'
    json 'lines[0]["already_converted"] and lines[0]["words_changed"] == 0 and lines[0]["bytes_dropped"] == 0'
    json 'lines[1]["overrun"] == 24 and lines[1]["words_changed"] == 1 and lines[1]["output_length_field"] == 28'
    json 'lines[3]["damage_offset"] == 28 and lines[3]["damage_chunk_offset"] == 12 and lines[3]["exit_status"] == 4'
    json 'lines[4]["output_size"] == 0 and lines[4]["bytes_dropped"] == 5 and lines[4]["header_word"] is None'
    json 'lines[5]["end_tag"] == "0x01020304" and lines[5]["damage_offset"] is None'
    # A name that is not printable stays valid JSON.
    example_out >$'bad\e[2J\xff.3do'
    run info --json $'bad\e[2J\xff.3do'
    json 'lines[0]["file"] == "bad\x1b[2J\udcff.3do"'
    ;;
  check_statuses)
    example_out >done.3do
    run check done.3do
    expect_status 0; expect_quiet
    # name, contents, status, what its line says
    while IFS='|' read -r name contents want says; do
      # shellcheck disable=SC2086
      words $contents >"$name"
      run check "$name"
      expect_status "$want"
      grep -q "^3do: $name: .*$says" stdout || fail "$name: '$says' not in: $(cat stdout)"
    done <<'TABLE'
length.3do|MAGIC 0 100 HAND 0 0|5|the length field states 100 chunk bytes, the chunks present make 12
junk.3do|MAGIC 0 28 HAND 0 0 JUNK 0 0|6|drop 12 bytes: the unrecognised chunk at byte 24 (JUNK)
beyond.3do|MAGIC 0 12 HAND 0 0 1 2|6|drop 8 bytes beyond the length bound, from byte 24 on
none.3do|1 2 3|7|not a 3do file
cut.3do|MAGIC 0 100 PRIM 0 40 1|4|damaged: cut at byte 28, inside the chunk at byte 12
huge.3do|MAGIC 0 100 PRIM 0 0x7FFFFFFF|4|damaged: the chunk at byte 12
TABLE
    # Several files: each is reported, the gravest status wins.
    run check done.3do junk.3do missing.3do length.3do
    expect_status 1
    [ "$(wc -l <stdout)" -eq 2 ] || fail "expected two problem lines: $(cat stdout)"
    grep -q "missing.3do: cannot open" stderr || fail "$(cat stderr)"
    ;;
  inputs)
    # Inputs are only read: a read-only file, a pipe, a FIFO and standard input.
    example_out >done.3do
    chmod 444 done.3do
    if [ "$(id -u)" -eq 0 ]; then
      chmod 755 "$work"
      as_nobody check done.3do
    else
      run check done.3do
    fi
    expect_status 0; expect_quiet
    run check - <done.3do
    expect_status 0; expect_quiet
    cat done.3do | timeout 20 "${tool_cmd[@]}" info --json - >stdout 2>stderr
    status=$?
    expect_status 0; json 'lines[0]["already_converted"] and lines[0]["file"] == "-"'
    run info --json <(cat done.3do)
    expect_status 0; json 'lines[0]["size"] == 116'
    mkfifo fifo.3do
    example_in >fifo.3do &
    run check fifo.3do
    wait
    expect_status 6
    if mkdir ro && mount --bind -o ro "$work" ro 2>/dev/null; then
      run check ro/done.3do
      umount ro
      expect_status 0; expect_quiet
    else
      echo "note: no read-only mount here; the read-only file stands for it"
    fi
    ;;
  convert_destinations)
    example_in >model.3do
    example_out >expected.3do
    run convert model.3do
    expect_status 2; grep -q 'say where the output goes' stderr || fail "$(cat stderr)"
    # option | status | the output to compare with expected.3do
    while IFS='|' read -r args want output; do
      rm -rf out out.3do
      # shellcheck disable=SC2086
      run convert -q $args
      expect_status "$want"
      [ -z "$output" ] || same_bytes "$output" expected.3do
    done <<'TABLE'
-o out.3do model.3do|0|out.3do
-d out model.3do|0|out/model.3do
-d out model.3do ./model.3do|0|out/model.3do
-o out.3do model.3do model.3do|2|
-o model.3do model.3do|2|
-d . model.3do|2|
-i -o out.3do model.3do|2|
-d out -r model.3do|0|out/model.3do
TABLE
    # An output that is an input found later in the run is refused, not
    # replaced, however soon its job is taken.
    mkdir -p tree later && example_in >tree/model.3do && example_in >later/model.3do
    run convert -f -j 2 -r -d later tree later/model.3do
    expect_status 2; grep -q 'its output later/model.3do is one of the inputs' stderr || fail "$(cat stderr)"
    same_bytes later/model.3do model.3do
    # Models just under, at and over the 1 MiB that is read whole, with an
    # entry at the end to rewrite.
    for size in 1048572 1048576 1048580; do
      payload=$((size - 52))
      big() { words MAGIC 1 $((payload + 40)) PLAN 0 "$payload"; head -c "$payload" /dev/zero
        words XYZS 0 16 "$1" 6 7 8; }
      big 5 >big.3do
      big 1 >big-expected.3do
      rm -f big-out.3do
      run convert -o big-out.3do big.3do
      expect_status 0; same_bytes big-out.3do big-expected.3do
    done
    run convert -o - model.3do
    expect_status 0; same_bytes stdout expected.3do
    cat model.3do | timeout 20 "${tool_cmd[@]}" convert -o - - >stdout 2>stderr
    status=$?
    expect_status 0; same_bytes stdout expected.3do
    same_bytes model.3do <(example_in)
    # An existing output is replaced only with --force, unless it holds the
    # conversion already.
    echo old >taken.3do
    run convert -o taken.3do model.3do
    expect_status 3; grep -q 'exists (--force replaces it)' stderr || fail "$(cat stderr)"
    [ "$(cat taken.3do)" = old ] || fail "an existing output was replaced"
    run convert -f -o taken.3do model.3do
    expect_status 0; same_bytes taken.3do expected.3do
    touch -d '2001-01-01' taken.3do
    run convert --json -o taken.3do model.3do
    expect_status 0; json 'lines[0]["result"] == "up_to_date" and not lines[0]["written"]'
    [ "$(stat -c %Y taken.3do)" = "$(date -d 2001-01-01 +%s)" ] || fail "an identical output was rewritten"
    # A dry run writes nothing; a non-3do file is refused.
    run convert -n -d dry model.3do
    expect_status 0; expect_absent dry; grep -q 'would be converted' stdout || fail "$(cat stdout)"
    run convert -n --json -i model.3do
    expect_status 0; json 'lines[0]["result"] == "would_convert" and not lines[0]["written"]'
    same_bytes model.3do <(example_in)
    # A damaged file is written only with --salvage, as convert3do writes it.
    words MAGIC 5 100 HAND 1 4 9 PRIM 2 40 1 2 >cut.3do
    run convert -d salvaged cut.3do
    expect_status 4; expect_absent salvaged/cut.3do
    run convert --salvage -d salvaged cut.3do
    expect_status 4; same_bytes salvaged/cut.3do <(words MAGIC 5 16 HAND 1 4 9)
    # A new output takes the input's permission bits, masked by the umask.
    chmod 600 model.3do
    (umask 022; "${tool_cmd[@]}" convert -q -d private model.3do)
    [ "$(stat -c %a private/model.3do)" = 600 ] || fail "mode $(stat -c %a private/model.3do)"
    printf 'hello' >text.3do
    run convert -d out2 text.3do
    expect_status 7; expect_absent out2/text.3do
    ;;
  convert_tree)
    # -d -r mirrors the tree below each folder given; only .3do files, in
    # any case; a symlink to a folder is not followed.
    mkdir -p tree/a/b tree/c elsewhere
    example_in >tree/top.3do
    example_in >tree/a/b/deep.3DO
    example_in >tree/c/x.3do
    echo notes >tree/c/notes.txt
    example_in >elsewhere/linked.3do
    ln -s ../elsewhere tree/link
    run convert -r -d out tree
    expect_status 0
    [ "$(cd out && find . -type f | sort | tr '\n' ' ')" = "./a/b/deep.3DO ./c/x.3do ./top.3do " ] ||
      fail "the tree is not mirrored: $(cd out && find . | sort | tr '\n' ' ')"
    same_bytes out/a/b/deep.3DO <(example_out)
    # Reports come in the order of the names, however the folders list them:
    # a folder's files sort as its name followed by '/'.
    mkdir -p order/a order/a-b order/a.b
    for name in a.3do a/m.3do a-b/m.3do a.b/m.3do a-b.3do 'a b.3do' Z.3do; do
      example_in >"order/$name"
    done
    run convert --json -r -d out4 order
    expect_status 0
    json '[l["file"] for l in lines[:-1]] == sorted(l["file"] for l in lines[:-1])'
    # A tree named twice is converted once; an output that is a hard link to
    # a file found in a tree is one of the inputs.
    run convert --json -r -d out5 order ./order
    expect_status 0
    json '[l.get("result") for l in lines[:-1]] == ["converted"] * 7 + ["skipped"] * 7'
    mkdir -p linked/a linked/c linked/out
    example_in >linked/a/x.3do && example_in >linked/c/y.3do && ln linked/c/y.3do linked/out/x.3do
    run convert -f -r -d linked/out linked/a linked/c
    expect_status 2; grep -q 'its output linked/out/x.3do is one of the inputs' stderr || fail "$(cat stderr)"
    run convert -d out2 tree
    expect_status 1; grep -q 'is a folder (use -r' stderr || fail "$(cat stderr)"
    # Names from --files0-from, NUL-separated, from standard input.
    printf 'tree/top.3do\0tree/c/x.3do\0' | timeout 20 "${tool_cmd[@]}" convert -v -d out3 --files0-from=- >stdout 2>stderr
    status=$?
    expect_status 0; [ -f out3/top.3do ] && [ -f out3/x.3do ] || fail "files0-from: $(ls out3)"
    ;;
  convert_in_place)
    # A symlink keeps being a link to the converted target.
    example_in >target.3do
    ln -s target.3do link.3do
    run convert -i link.3do
    expect_status 0; [ -L link.3do ] || fail "the link was replaced"
    same_bytes target.3do <(example_out)
    # Hard links are refused unless --force.
    example_in >one.3do
    ln one.3do two.3do
    run convert -i one.3do
    expect_status 3; grep -q 'hard links' stderr || fail "$(cat stderr)"; same_bytes one.3do <(example_in)
    run convert -i --force one.3do
    expect_status 0; same_bytes one.3do <(example_out); same_bytes two.3do <(example_in)
    # The original's mode is kept, whatever the umask.
    example_in >private.3do
    chmod 640 private.3do
    (umask 077; "${tool_cmd[@]}" convert -q -i private.3do)
    [ "$(stat -c %a private.3do)" = 640 ] || fail "mode $(stat -c %a private.3do), expected 640"
    # A converted file is left untouched; a damaged one is never replaced.
    example_out >done.3do
    touch -d '2001-01-01' done.3do
    words MAGIC 0 100 PRIM 0 40 1 >cut.3do
    cp cut.3do cut.orig
    run convert -i --json done.3do cut.3do
    expect_status 4
    json '[l.get("result") for l in lines] == ["already_converted", "damaged", None] and lines[2]["damaged"] == 1'
    [ "$(stat -c %Y done.3do)" = "$(date -d 2001-01-01 +%s)" ] || fail "an unchanged file was rewritten"
    same_bytes cut.3do cut.orig
    [ -z "$(find . -name '.*.tmp')" ] || fail "temporary files left: $(find . -name '.*.tmp')"
    ;;
  convert_batch)
    # One file converted, one unchanged, one damaged, one missing: each is
    # reported in input order, and the status is the gravest.
    example_in >a.3do
    example_out >b.3do
    words MAGIC 0 100 PRIM 0 40 1 >c.3do
    run convert --json -j 3 -d out a.3do b.3do c.3do missing.3do
    expect_status 1
    json '[l.get("file") for l in lines[:4]] == ["a.3do", "b.3do", "c.3do", "missing.3do"]'
    json '[l.get("result") for l in lines[:4]] == ["converted", "already_converted", "damaged", "failed"]'
    json '[l["exit_status"] for l in lines[:4]] == [0, 0, 4, 1] and lines[2]["written"] is False'
    json 'lines[4] == {"summary": True, "converted": 1, "already_converted": 1, "up_to_date": 0, "damaged": 1, "refused": 0, "failed": 1, "skipped": 0, "salvaged": 0, "bytes_dropped": 16, "exit_status": 1, "interrupted": None}'
    run convert -d out2 a.3do b.3do
    expect_status 0
    grep -qx '3do: 1 converted, 1 already converted, 16 bytes dropped' stderr || fail "summary: $(cat stderr)"
    # Reports come out in input order whatever the workers do.
    for i in $(seq 10 49); do xyzs_model "m$i.3do" $(((RANDOM % 64) + 1)); done
    run convert -v -j 4 -d out3 m*.3do
    expect_status 0
    [ "$(grep -o 'out3/m[0-9]*' stderr | tr '\n' ' ')" = "$(printf 'out3/m%s ' $(seq 10 49))" ] ||
      fail "reports out of order: $(head -5 stderr)"
    ;;
  convert_swap)
    # In place replaces a name only while it holds the file read, as it was
    # read: each change below is made while the run is held before the rename.
    # A same-size change with its modification time put back shows only in
    # the change time, so it is repeated until the file system's clock (as
    # coarse as a second on some) has moved on.
    # change | what the name holds afterwards
    while IFS='|' read -r change holds; do
      rm -f model.3do moved.3do victim
      example_in >model.3do
      words MAGIC 1 0 >new.3do
      echo secret >victim
      held "$change" convert -i model.3do
      expect_status 3
      grep -q 'model.3do: changed while it was converted; left as it is' stderr || fail "$change: $(cat stderr)"
      eval "$holds" || fail "$change: not $holds"
      [ "$(cat victim)" = secret ] || fail "$change: the symlink's target was written"
      no_temporaries
    done <<'TABLE'
mv model.3do moved.3do && ln -s victim model.3do|[ -L model.3do ] && cmp -s moved.3do <(example_in)
printf more >>model.3do|cmp -s model.3do <(example_in; printf more)
mv new.3do model.3do|cmp -s model.3do <(words MAGIC 1 0)
before=$(stat -c %z model.3do) && cp -p model.3do ref && until dd of=model.3do bs=1 seek=24 count=1 conv=notrunc 2>/dev/null <<<7 && touch -r ref model.3do && [ "$(stat -c %z model.3do)" != "$before" ]; do sleep 0.2; done|[ "$(od -An -c -j24 -N1 model.3do)" = "   7" ]
TABLE
    ;;
  convert_outputs)
    example_in >model.3do
    # An output that appears while the input is read is not replaced.
    mkfifo slow.3do
    timeout 20 "${tool_cmd[@]}" convert -o out.3do slow.3do >stdout 2>stderr &
    pid=$!
    exec 3>slow.3do
    words MAGIC 99 60 HAND 1 4 9 >&3
    echo mine >out.3do
    words XYZS 2 16 8 1 2 3 JUNK >&3  # the walk ends at this tag: nothing more is read
    exec 3>&-
    wait "$pid"
    status=$?
    expect_status 3; grep -q 'out.3do exists (--force replaces it)' stderr || fail "$(cat stderr)"
    [ "$(cat out.3do)" = mine ] || fail "an output made during the run was replaced"
    # Outputs that are not regular files are never replaced; a symlink is
    # written through.
    mkfifo fifo.out
    run convert -f -o fifo.out model.3do
    expect_status 3; [ -p fifo.out ] || fail "the FIFO was replaced"
    grep -q 'is not a regular file' stderr || fail "$(cat stderr)"
    if mknod null.out c 1 3 2>/dev/null; then
      run convert -f -o null.out model.3do
      expect_status 3; [ -c null.out ] || fail "the device was replaced"
    fi
    echo old >target.3do
    ln -s target.3do link.3do
    run convert -f -o link.3do model.3do
    expect_status 0; [ -L link.3do ] || fail "the link was replaced"; same_bytes target.3do <(example_out)
    # A conversion reads a stream only as far as the walk: a writer that
    # keeps a FIFO open does not hold the run, and what is no 3do file is
    # refused at once. info reads it to its end, as wc -c does.
    mkfifo open.3do
    exec 3<>open.3do
    example_out >&3
    run convert -o streamed.3do open.3do
    expect_status 0; same_bytes streamed.3do <(example_out)
    exec 3>&-
    { example_out; printf 'more'; } >open.3do &
    run info --json open.3do
    wait
    expect_status 0; json 'lines[0]["size"] == 120 and lines[0]["walk_end"] == "bound" and lines[0]["bytes_dropped"] == 4'
    run convert -o zero.3do /dev/zero
    expect_status 7; expect_absent zero.3do
    # A scratch file that cannot be written is an output failure.
    if mkdir tiny && mount -t tmpfs -o size=64k tmpfs tiny 2>/dev/null; then
      xyzs_model big.3do 256
      TMPDIR=$PWD/tiny run convert -o - big.3do
      umount tiny
      expect_status 3; grep -q 'cannot write the scratch file for standard output' stderr || fail "$(cat stderr)"
    fi
    # Output meant for a closed standard output fails.
    for args in "convert -o - model.3do" "convert --json -d out model.3do" "info model.3do"; do
      # shellcheck disable=SC2086
      timeout 20 "${tool_cmd[@]}" $args >&- 2>stderr
      status=$?
      expect_status 3
    done
    # A name as long as the folder allows gets a temporary name that fits.
    long=$(printf 'm%.0s' $(seq 1 250)).3do
    example_in >"$long"
    run convert -d longer "$long"
    expect_status 0; same_bytes "longer/$long" <(example_out)
    run convert -i "$long"
    expect_status 0; same_bytes "$long" <(example_out)
    no_temporaries
    ;;
  convert_tree_safety)
    # Symlinks inside a tree are skipped, not followed, and counted.
    mkdir -p tree/sub
    example_in >tree/a.3do
    example_in >victim.3do
    ln -s ../victim.3do tree/sub/evil.3do
    ln tree/a.3do tree/sub/b.3do
    run convert -v -r -i --force tree
    expect_status 0; same_bytes victim.3do <(example_in); [ -L tree/sub/evil.3do ] || fail "link replaced"
    grep -q 'tree/sub/evil.3do: skipped' stderr || fail "$(cat stderr)"
    grep -q '2 skipped' stderr || fail "$(cat stderr)"  # the link, and a.3do's second name
    # With -d every name of a hard-linked file gets its output; the output
    # folder is never walked, however often the run is made.
    rm -rf tree && mkdir -p tree/sub
    example_in >tree/a.3do
    ln tree/a.3do tree/sub/b.3do
    for round in 1 2; do
      run convert -r -d tree/converted tree
      expect_status 0
    done
    [ "$(cd tree/converted && find . -type f | sort | tr '\n' ' ')" = "./a.3do ./sub/b.3do " ] ||
      fail "not mirrored: $(cd tree && find . | sort | tr '\n' ' ')"
    # A folder that cannot be read fails the run.
    mkdir -p locked/inner && example_in >locked/inner/m.3do && chmod 000 locked/inner
    if [ "$(id -u)" -eq 0 ]; then
      mkdir out && chmod 777 out
      as_nobody convert -n -r -d out locked
    else
      run convert -n -r -d out locked
    fi
    chmod 755 locked/inner
    expect_status 1; grep -q 'locked/inner: cannot read the folder' stdout || fail "$(cat stdout)"
    ;;
  convert_output_links)
    # Below -d DIR no symlink is followed: a folder planted as a link to
    # elsewhere is refused for the files below it, and a file planted as one
    # is an output that exists, replaced itself (never its target) with -f.
    mkdir -p tree/sub victim
    example_in >tree/sub/x.3do
    example_in >tree/y.3do
    # options | status | what out/y.3do is afterwards
    while IFS='|' read -r args want y; do
      rm -rf out && mkdir out && echo secret >victim/passwd
      ln -s ../victim out/sub && ln -s ../victim/passwd out/y.3do
      # shellcheck disable=SC2086
      run convert $args -r -d out tree
      expect_status "$want"
      [ "$(cat victim/passwd)" = secret ] && [ "$(ls victim)" = passwd ] ||
        fail "$args: written outside out: $(ls victim)"
      grep -q '^3do: tree/sub/x.3do: refused: its output folder out/sub is a symbolic link, not a folder; nothing written there$' stdout stderr ||
        fail "$args: $(cat stdout stderr)"
      case $y in
        link) [ -L out/y.3do ] || fail "$args: the link was replaced" ;;
        file) [ ! -L out/y.3do ] && same_bytes out/y.3do <(example_out) ;;
      esac
    done <<'TABLE'
|3|link
-n|3|link
-f|3|file
-n -f|3|link
TABLE
    run convert -r -d out tree
    grep -q 'its output out/y.3do exists (--force replaces it)' stderr || fail "$(cat stderr)"
    ;;
  convert_named_swap)
    # A file named one by one is converted only while it is the file the plan
    # found: the run is held on a FIFO named before it while the name is given
    # to another file, or its folder is made a symlink to another folder.
    while read -r change; do
      rm -rf dir dir.old elsewhere out fifo.3do
      mkdir dir elsewhere
      example_in >dir/m.3do
      words MAGIC 1 0 >elsewhere/m.3do
      mkfifo fifo.3do
      timeout 20 "${tool_cmd[@]}" convert -j 1 -d out fifo.3do dir/m.3do >stdout 2>stderr &
      pid=$!
      exec 3>fifo.3do  # opened once the plan is made, when the run reads the FIFO
      eval "$change"
      example_out >&3  # all of it is read: the walk ends at the length bound
      exec 3>&-
      wait "$pid"
      status=$?
      expect_status 1
      grep -q '^3do: dir/m.3do: was replaced during the run; left as it is$' stderr ||
        fail "$change: $(cat stderr)"
      expect_absent out/m.3do
    done <<'TABLE'
mv dir/m.3do dir/old.3do && cp elsewhere/m.3do dir/m.3do
mv dir dir.old && ln -s elsewhere dir
TABLE
    ;;
  convert_deep)
    # Any depth: 30,000 nested folders, with models at several depths and
    # outputs far beyond PATH_MAX, into a folder and in place.
    command -v python3 >/dev/null || skip "no python3 to build a deep tree"
    if [ -w /dev/shm ]; then  # in memory, where making 90,000 folders is quick
      shm=$(mktemp -d /dev/shm/3do-deep.XXXXXX)
      trap 'rm -rf "$shm" "$work"' EXIT
      cd "$shm" || exit 1
    fi
    example_in >model.3do
    example_out >expected.3do
    # deep.py make|check ROOT MODEL: makes the tree, or checks that every
    # model in it holds MODEL, and that there are as many as made.
    cat >deep.py <<'PY'
import os, sys
what, root, model = sys.argv[1:]
data = open(model, "rb").read()
at = os.open(".", os.O_RDONLY)
if what == "make":
    os.mkdir(root)
at = os.open(root, os.O_RDONLY, dir_fd=at)
found = 0
for level in range(30000):
    if what == "make":
        os.mkdir("d", dir_fd=at)
    below = os.open("d", os.O_RDONLY, dir_fd=at)
    os.close(at)
    at = below
    if level % 5000 == 4999:
        name = "m%d.3do" % level
        if what == "make":
            f = os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=at)
            os.write(f, data)
            os.close(f)
        else:
            f = os.open(name, os.O_RDONLY, dir_fd=at)
            found += os.read(f, 4096) == data
            os.close(f)
sys.exit(0 if what == "make" or found == 6 else 1)
PY
    python3 deep.py make deep model.3do || fail "cannot make the tree"
    run convert -r -d out deep
    expect_status 0
    python3 deep.py check out expected.3do || fail "-d: the outputs are not all there"
    run convert -r -i deep
    expect_status 0
    python3 deep.py check deep expected.3do || fail "-i: the models are not all converted"
    ;;
  convert_thread_limit)
    # Workers beyond what the system lets a user start: the run goes on with
    # those started. A user of its own has no other process to count.
    [ "$(id -u)" -eq 0 ] || skip "needs root to run as a user with a process limit"
    for i in $(seq 10 29); do example_in >"m$i.3do"; done
    mkdir out && chmod 777 out
    (
      ulimit -u 3
      as_user 54321 convert -q -j 100000 -d out m10.3do m11.3do m12.3do m13.3do m14.3do m15.3do \
        m16.3do m17.3do m18.3do m19.3do
      exit "$status"
    )
    status=$?
    expect_status 0
    [ "$(ls out | wc -l)" -eq 10 ] || fail "$(ls out | wc -l) outputs: $(cat stderr)"
    grep -v '^3do: warning: cannot start another worker: Resource temporarily unavailable; going on with [0-9]*$' stderr &&
      fail "unexpected: $(cat stderr)"
    ;;
  convert_signal_summary)
    # A signal while outputs are put in place: one summary, counting exactly
    # the outputs there are, and death by the signal. The run is held on a
    # FIFO among the names while the other worker converts the rest.
    for i in $(seq 10 39); do example_in >"m$i.3do"; done
    rm m25.3do && mkfifo m25.3do
    "${tool_cmd[@]}" convert --json -j 2 -d out m*.3do >stdout 2>stderr &
    pid=$!
    for _ in $(seq 800); do [ "$(ls out 2>/dev/null | wc -l)" -ge 29 ] && break; sleep 0.05; done
    kill -TERM "$pid"
    wait "$pid"
    status=$?
    expect_status 143
    outputs=$(ls out | wc -l)
    json 'sum(1 for l in lines if "summary" in l) == 1 and lines[-1]["interrupted"] == "SIGTERM"'
    json "lines[-1]['converted'] == $outputs == len([l for l in lines if l.get('written')])"
    no_temporaries
    ;;
  info_streams)
    # A stream named for info or check is read to its end, as wc -c reads
    # it: standard input and FIFOs give the figures the named files give, on
    # the random files of the unit tests.
    command -v python3 >/dev/null || skip "no python3 to compare JSON"
    mkdir models
    "${emulator[@]}" "$(dirname "$tool")/write_random_models" models 3000 20261207 ||
      fail "cannot write the models"
    python3 - "${tool_cmd[@]}" <<'PY' || fail "streams and files differ"
import json, os, subprocess, sys, threading
tool = sys.argv[1:]
names = sorted(os.listdir("models"), key=lambda n: int(n[6:-4]))
paths = ["models/" + n for n in names]
def lines(args, **kw):
    out = subprocess.run(tool + args, stdout=subprocess.PIPE, check=False, **kw).stdout
    return [json.loads(l) for l in out.decode().splitlines()]
def without_file(objects):
    return [{k: v for k, v in o.items() if k != "file"} for o in objects]
named = without_file(lines(["info", "--json"] + paths))
checked = without_file(lines(["check", "--json", "--all"] + paths))
# FIFOs, fed one after another as the run opens them.
fifos = ["fifo%d" % i for i in range(len(paths))]
for f in fifos:
    os.mkfifo(f)
def feed():
    for f, p in zip(fifos, paths):
        with open(f, "wb") as out, open(p, "rb") as model:
            out.write(model.read())
for args, want in ((["info", "--json"], named), (["check", "--json", "--all"], checked)):
    writer = threading.Thread(target=feed)
    writer.start()
    got = without_file(lines(args + fifos))
    writer.join()
    if got != want:
        bad = next(i for i, (a, b) in enumerate(zip(got, want)) if a != b)
        sys.exit("FIFO %s: %s != %s" % (paths[bad], got[bad], want[bad]))
for i, p in enumerate(paths):
    if i % 10 != 0:
        continue  # a process each: a tenth of them, every shape among them
    with open(p, "rb") as model:
        got = without_file(lines(["info", "--json", "-"], stdin=model))
    if got != [named[i]]:
        sys.exit("stdin %s: %s != %s" % (p, got, named[i]))
PY
    ;;
  words)
    # What the programs say at the edges, each in its own words.
    example_in >a.3do
    mkdir tree && echo x >not-a-folder
    # arguments | status | a line of stderr (a grep pattern)
    while IFS='|' read -r args want says; do
      # shellcheck disable=SC2086
      run $args
      expect_status "$want"
      grep -q -- "$says" stderr || fail "$args: '$says' not in: $(cat stderr)"
      [ "$(wc -l <stderr)" -le 2 ] || fail "$args: more than one error: $(cat stderr)"
    done <<'TABLE'
convert -o x.3do -r tree|2|^3do: convert: -o takes a single input; use -d DIR for several, or for a folder's tree
convert -d not-a-folder a.3do a.3do|3|^3do: not-a-folder: cannot use as the output folder: Not a directory$
convert --j 2 -d out a.3do|2|option --j is ambiguous: --jobs or --json
convet a.3do|2|^3do: convet: unknown command; did you mean convert?
-r info a.3do|2|^3do: -r: options go after the command: 3do info -r \.\.\.$
TABLE
    # Singular and plural; a name holding a bidi control is quoted.
    words MAGIC 0 28 XYZS 0 16 5 6 7 8 0 >one.3do
    run info one.3do
    grep -q 'changes 1 word, drops 4 bytes$' stdout || fail "$(cat stdout)"
    words MAGIC 0 12 HAND 0 0 >"$(printf 'x\342\200\256od3.3do')"
    run info ./x*
    want="'./x'\$'\\342\\200\\256''od3.3do'"
    [ "$(head -1 stdout)" = "$want" ] || fail "bidi: $(head -1 stdout)"
    # The second name of a file refused for its hard links is not said to
    # be converted.
    example_in >linked.3do && ln linked.3do link2.3do
    run convert -v -i linked.3do link2.3do
    grep -q '^3do: link2.3do: skipped: the same file as linked.3do, named before; dealt with once$' stderr ||
      fail "$(cat stderr)"
    # Summaries say what was, or would be, written.
    words MAGIC 5 100 HAND 1 4 9 PRIM 2 40 1 2 >cut.3do
    run convert --salvage -d salvaged cut.3do a.3do
    grep -qx '3do: 1 converted, 1 damaged (1 salvaged), 36 bytes dropped' stderr || fail "$(cat stderr)"
    run convert -n -d dry a.3do
    grep -qx '3do: dry run: 1 would be converted, 16 bytes would be dropped' stderr || fail "$(cat stderr)"
    run convert --json -n -d dry a.3do
    json 'lines[-1]["would_convert"] == 1 and "converted" not in lines[-1]'
    # Two folders that give one output: neither file is written, whatever
    # the order; the rest is.
    mkdir -p one two && example_in >one/same.3do && example_in >two/same.3do && example_in >two/own.3do
    run convert -r -d merged one two
    expect_status 2
    [ "$(grep -c "is another input's output too" stderr)" -eq 2 ] || fail "$(cat stderr)"
    expect_absent merged/same.3do
    same_bytes merged/own.3do <(example_out)
    # check --json: info's object, without the chunks, for each file with a
    # problem (every file with --all).
    example_out >done.3do
    run check --json done.3do cut.3do
    expect_status 4
    json 'len(lines) == 1 and lines[0]["file"] == "cut.3do" and "chunks" not in lines[0] and lines[0]["walk_end"] == "damaged"'
    run check --json --all done.3do cut.3do
    json 'len(lines) == 2 and lines[0]["problems"] is None and lines[1]["check_status"] == 4'
    # Every file below a folder that cannot be made says why, and a dry run
    # says what the real run says, on a read-only mount too.
    if [ "$(id -u)" -eq 0 ]; then
      mkdir -p deep/a/b locked && example_in >deep/a/b/m.3do && example_in >deep/a/n.3do
      chmod 755 deep deep/a deep/a/b && chmod 555 locked
      as_nobody convert -r -d locked/sub deep
      expect_status 3; grep -q '^3do: locked/sub: cannot use as the output folder: Permission denied$' stderr ||
        fail "$(cat stderr)"
      mkdir -p out2 && chmod 777 out2 && mkdir out2/a && chmod 555 out2/a
      for dry in -n ""; do
        as_nobody convert $dry -r -d out2 deep
        expect_status 3
        [ "$(cat stdout stderr | grep -c 'cannot create the folder of out2/a/b/m.3do: Permission denied')" -eq 1 ] ||
          fail "$dry: $(cat stdout stderr)"
        grep -q 'deep/a/n.3do: cannot write out2/a/n.3do: Permission denied' stdout stderr ||
          fail "$dry: $(cat stdout stderr)"
      done
    fi
    if mkdir ro && mount --bind -o ro "$work/tree" ro 2>/dev/null; then
      example_in >tree/m.3do
      run convert -n -i ro/m.3do
      dry=$(cat stdout)
      run convert -i ro/m.3do
      umount ro
      grep -q 'ro/m.3do: cannot replace it: Read-only file system' <<<"$dry" && grep -q 'Read-only file system' stderr ||
        fail "dry: $dry; real: $(cat stderr)"
    fi
    ;;
  convert_metadata)
    # In place keeps the whole mode, the extended attributes and the ACL.
    command -v python3 >/dev/null || skip "no python3 to set extended attributes"
    example_in >model.3do
    chmod 4751 model.3do
    attributes() {
      python3 -c 'import os, sys; print(sorted((n, os.getxattr(sys.argv[1], n)) for n in os.listxattr(sys.argv[1])))' "$1"
    }
    # user.note, and an ACL that denies user nobody: version 2, then
    # (tag, permissions, id) for the owner, nobody, the group, the mask, others.
    python3 - model.3do <<'PY' || skip "no extended attributes here"
import os, struct, sys
os.setxattr(sys.argv[1], "user.note", b"kept")
entries = [(1, 7, -1), (2, 0, 65534), (4, 5, -1), (0x10, 5, -1), (0x20, 1, -1)]
acl = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", t, p, i & 0xFFFFFFFF) for t, p, i in entries)
os.setxattr(sys.argv[1], "system.posix_acl_access", acl)
PY
    before=$(attributes model.3do)
    mode=$(stat -c %a model.3do)
    run convert -i model.3do
    expect_status 0; same_bytes model.3do <(example_out)
    [ "$(stat -c %a model.3do)" = "$mode" ] || fail "mode $(stat -c %a model.3do), expected $mode"
    [ "$(attributes model.3do)" = "$before" ] || fail "attributes $(attributes model.3do), expected $before"
    # A converted file with other links is left alone, not refused.
    example_out >done.3do
    ln done.3do other.3do
    run convert -i done.3do
    expect_status 0
    # Workers beyond any fixed table: more workers than files, and than cores.
    for i in $(seq 100 199); do example_in >"w$i.3do"; done
    run convert -q -j 150 -d many w*.3do
    expect_status 0; [ "$(ls many | wc -l)" -eq 100 ] || fail "$(ls many | wc -l) outputs"
    same_bytes many/w150.3do <(example_out)
    ;;
  option_forms)
    # Options as getopt_long takes them: bundled, values attached or apart,
    # long forms with = or a space, options after names, -- ending them.
    printf 'm.3do\0' >list
    # arguments | status | the output that must hold the conversion
    while IFS='|' read -r args want output; do
      rm -rf out x.3do -- -m.3do
      example_in >m.3do
      example_in >-m.3do
      # shellcheck disable=SC2086
      run convert -q $args
      expect_status "$want"
      [ -z "$output" ] || same_bytes "$output" <(example_out)
    done <<'TABLE'
-j2 -dout m.3do|0|out/m.3do
-rd out m.3do|0|out/m.3do
-ri m.3do|0|m.3do
-nv -d out m.3do|0|
--jobs=2 --output-dir=out m.3do|0|out/m.3do
--jobs 2 --output-dir out m.3do|0|out/m.3do
--files0-from list -d out|0|out/m.3do
--files0-from=list --in-place|0|m.3do
m.3do --output=x.3do|0|x.3do
-d out -- -m.3do|0|out/-m.3do
-d out m.3do -j|2|
-j 0 -d out m.3do|2|
--jobs=x -d out m.3do|2|
-z -d out m.3do|2|
--bogus -d out m.3do|2|
-o x.3do -d out m.3do|2|
TABLE
    # info and check take trees, lists and standard input too.
    mkdir -p tree/sub
    example_in >tree/sub/a.3do
    example_out >tree/b.3do
    mkfifo tree/stuck.3do
    run check -r tree
    expect_status 6; [ "$(wc -l <stdout)" -eq 1 ] || fail "check -r: $(cat stdout)"
    run info --summary --files0-from=list -r tree
    expect_status 0
    [ "$(grep -c '^  file:' stdout)" -eq 3 ] && ! grep -q 'offset  tag' stdout || fail "summary: $(cat stdout)"
    run info tree
    expect_status 1; grep -q 'tree: is a folder' stderr || fail "$(cat stderr)"
    ;;
  convert_reports)
    # Each file gets one result for what this run did; written says whether
    # this run wrote it; the summary counts this run's work.
    example_in >new.3do
    example_out >done.3do
    words MAGIC 0 100 PRIM 0 40 1 >cut.3do
    printf 'hello' >text.3do
    example_in >same.3do && mkdir out && example_out >out/same.3do
    example_in >other.3do && echo mine >out/other.3do
    printf 'new.3do\0\0done.3do\0' >list
    run convert --json -d out --files0-from=list cut.3do text.3do same.3do other.3do missing.3do new.3do .
    expect_status 3
    # file | result | written | exit status
    while IFS='|' read -r index file result written code; do
      json "lines[$index]['file'] == '$file' and lines[$index]['result'] == '$result' and lines[$index]['written'] == $written and lines[$index]['exit_status'] == $code"
    done <<'TABLE'
0|cut.3do|damaged|False|4
1|text.3do|refused|False|7
2|same.3do|up_to_date|False|0
3|other.3do|refused|False|3
4|missing.3do|failed|False|1
5|new.3do|converted|True|0
6|.|failed|False|1
7|new.3do|skipped|False|0
8||failed|False|1
9|done.3do|already_converted|True|0
TABLE
    json 'lines[4]["size"] is None and lines[5]["bytes_dropped"] == 16 and lines[2]["bytes_dropped"] == 0'
    json 'lines[10]["converted"] == 1 and lines[10]["skipped"] == 1 and lines[10]["refused"] == 2 and lines[10]["bytes_dropped"] == 16'
    run convert --json -d out new.3do done.3do
    expect_status 0
    json '[l.get("result") for l in lines] == ["up_to_date", "up_to_date", None] and lines[2]["bytes_dropped"] == 0'
    # A dry run says what the real run then does, refusals included, on
    # standard output.
    mkdir -p tree/sub
    example_in >tree/a.3do
    ln tree/a.3do tree/sub/linked.3do
    example_out >tree/b.3do
    words MAGIC 0 100 PRIM 0 40 1 >tree/sub/cut.3do
    printf 'hello' >tree/sub/text.3do
    touch tree/sub/.a.3do.0a1b2c3.tmp
    if [ "$(id -u)" -eq 0 ]; then
      mkdir tree/locked && example_in >tree/locked/m.3do && chmod -R a+rX tree && chmod 555 tree/locked
      chmod 777 tree tree/sub
      as_nobody convert -n --json -r -i tree
      cp stdout dry && as_nobody convert --json -r -i tree
    else
      run convert -n --json -r -i tree
      cp stdout dry && run convert --json -r -i tree
    fi
    python3 - dry stdout <<'PY' || fail "the dry run and the real run differ: $(cat dry) / $(cat stdout)"
import json, sys
def results(name):
    lines = [json.loads(l) for l in open(name)]
    return [(l.get("file"), l.get("result", "").replace("would_convert", "converted"),
             l.get("exit_status")) for l in lines]
sys.exit(0 if results(sys.argv[1]) == results(sys.argv[2]) else 1)
PY
    grep -q '"refused"' dry && grep -q 'hard links' dry || fail "no refusal in: $(cat dry)"
    grep -q 'a temporary file left by an interrupted run' stderr || fail "no warning: $(cat stderr)"
    run convert -n -d out3 new.3do
    grep -q '^3do: new.3do -> out3/new.3do: would be converted' stdout || fail "dry run: $(cat stdout)"
    # Refusals: a model into a terminal, --salvage in place.
    if command -v script >/dev/null; then
      script -qec "$(printf '%q ' "${tool_cmd[@]}") convert -o - new.3do" /dev/null >terminal 2>&1
      status=$?
      expect_status 2; grep -q 'standard output is a terminal' terminal || fail "$(cat terminal)"
    fi
    run convert --salvage -i new.3do
    expect_status 2
    # A signal ends the run with the summary of what was done: the run is
    # stopped while it waits for a FIFO's writer, after its first file.
    mkfifo wait.3do
    "${tool_cmd[@]}" convert -v -j 1 -d sig new.3do wait.3do >stdout 2>stderr &
    pid=$!
    for _ in $(seq 400); do grep -q 'new.3do -> sig/new.3do: converted' stderr && break; sleep 0.05; done
    kill -TERM "$pid"
    wait "$pid"
    status=$?
    expect_status 143
    grep -q '^3do: interrupted by SIGTERM: 1 converted, 16 bytes dropped$' stderr || fail "no summary: $(cat stderr)"
    [ -z "$(find sig -name '.*.tmp')" ] || fail "temporary files left"
    mkdir folder.out
    run convert -o folder.out new.3do
    expect_status 2; grep -q 'folder.out is a folder (-d DIR' stderr || fail "$(cat stderr)"
    # Damage is worded alike by convert3do and every 3do command.
    words MAGIC 0 100 PRIM 0 40 1 >cut.3do
    run check cut.3do
    grep -q 'cut.3do: damaged: cut at byte 28, inside the chunk at byte 12$' stdout || fail "$(cat stdout)"
    run convert -d damage cut.3do
    grep -q 'cut.3do: damaged: cut at byte 28, inside the chunk at byte 12; nothing' stderr || fail "$(cat stderr)"
    run info --json cut.3do text.3do new.3do
    json 'lines[0]["damage"] == "cut at byte 28, inside the chunk at byte 12"'
    # info says what each program would do with a file, where they differ.
    json '[(l["convert3do"], l["3do_convert"]) for l in lines] == [("keeps_complete_chunks", "writes_nothing_without_salvage"), ("empty_output", "refuses"), ("converts", "converts")]'
    run info text.3do
    grep -q 'programs:   convert3do writes an empty file and says it is not a 3do file; 3do convert refuses it' stdout || fail "$(cat stdout)"
    ;;
  convert_interrupted)
    # Signals at random moments of an in-place batch: every file is either
    # the original or its full conversion, and no temporary file is left.
    set -m
    mkdir originals expected
    for i in $(seq 10 29); do xyzs_model "originals/m$i.3do" 1024; done
    cp originals/* expected/
    "${tool_cmd[@]}" convert -q -i --no-sync expected/*.3do
    for round in $(seq 1 8); do
      sigs=(INT TERM HUP)
      sig=${sigs[round % 3]}
      rm -rf work && mkdir work && cp originals/* work/
      "${tool_cmd[@]}" convert -q -i -j 2 -r work >stdout 2>stderr &
      pid=$!
      sleep "0.0$((RANDOM % 80))"
      kill -s "$sig" "$pid" 2>/dev/null
      wait "$pid"
      status=$?
      [ "$status" -eq 0 ] || [ "$status" -eq $((128 + $(kill -l "$sig"))) ] ||
        fail "round $round: status $status after SIG$sig"
      for f in originals/*.3do; do
        name=$(basename "$f")
        cmp -s "work/$name" "$f" || cmp -s "work/$name" "expected/$name" ||
          fail "round $round: $name is neither the original nor its conversion"
      done
      [ -z "$(ls -A work | grep -v '\.3do$')" ] || fail "round $round: left behind: $(ls -A work | grep -v '\.3do$')"
    done
    ;;
  *)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

finish
