#!/usr/bin/env bash
# Command-line tests of what 3do says: help, words, option forms, and
# convert's reports as text and JSON.
#
# usage: three_do_reports_test.sh PATH/TO/3do CASE [PATH/TO/examples/cube.3do]
# shellcheck source=three_do_helpers.sh
. "$(dirname "$0")/three_do_helpers.sh"

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
    ;;
  summaries)
    # Summaries say what was, or would be, written.
    example_in >a.3do
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
    ;;
  unwritable_outputs)
    # Every file below a folder that cannot be made says why, and a dry run
    # says what the real run says, on a read-only mount too.
    mkdir tree
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
    ;;
  convert_dry_run)
    # A dry run says what the real run then does, refusals included, on
    # standard output.
    example_in >new.3do
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
    ;;
  convert_refusals)
    # Refusals: a model into a terminal, --salvage in place.
    example_in >new.3do
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
    ;;
  damage_words)
    # Damage is worded alike by convert3do and every 3do command.
    example_in >new.3do
    printf 'hello' >text.3do
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
  *)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

finish
