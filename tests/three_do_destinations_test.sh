#!/usr/bin/env bash
# Command-line tests of 3do convert: where its outputs go (-o, -d, -i, trees,
# batches, links, deep trees) and what they keep.
#
# usage: three_do_destinations_test.sh PATH/TO/3do CASE [PATH/TO/examples/cube.3do]
# shellcheck source=three_do_helpers.sh
. "$(dirname "$0")/three_do_helpers.sh"

case $case_name in
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
    ;;
  convert_existing_outputs)
    example_in >model.3do
    example_out >expected.3do
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
    ;;
  convert_streams)
    example_in >model.3do
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
  *)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

finish
