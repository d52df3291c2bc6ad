#!/usr/bin/env bash
# Command-line tests of 3do info and 3do check: what they say of a file, a
# stream and a damaged model.
#
# usage: three_do_info_test.sh PATH/TO/3do CASE [PATH/TO/examples/cube.3do]
# shellcheck source=three_do_helpers.sh
. "$(dirname "$0")/three_do_helpers.sh"

case $case_name in
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
  *)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

finish
