#!/usr/bin/env bash
# Command-line tests of convert3do: each case runs the built program in a fresh
# temporary folder and checks its exit status, its exact standard output, its
# standard error and the files it leaves behind.
#
# usage: cli_test.sh PATH/TO/convert3do CASE
# shellcheck source=cli_helpers.sh
. "$(dirname "$0")/cli_helpers.sh"

# big_model FILE MIB: a model of one PRIM chunk of MIB MiB of zeros.
big_model() {
  local bytes=$(($2 * 1048576))
  { words MAGIC 7 $((bytes + 12)); words PRIM 1 "$bytes"; head -c "$bytes" /dev/zero; } >"$1"
}

# wait_for_file FILE PID: waits until FILE exists, or PID has ended.
wait_for_file() {
  local i
  for ((i = 0; i < 20000; i++)); do
    [ -e "$1" ] && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.001
  done
  return 1
}

not_found='FILE NOT FOUND!\n\a'
not_3do="The referenced file is not in Torvanels' 3do format\\n\\a"

case $case_name in
  defaults)
    run
    expect_status 1; expect_stdout "$not_found"; expect_absent out.3do
    example_in >in.3do
    run
    expect_status 0; expect_quiet; expect_file out.3do example_out
    ;;
  named_files)
    example_in >model.3do
    run model.3do converted.3do extra.3do --help
    expect_status 0; expect_quiet; expect_file converted.3do example_out
    expect_file model.3do example_in; expect_absent extra.3do; expect_absent out.3do
    # With two arguments every argument is a file name.
    example_in >--help
    run --help --version
    expect_status 0; expect_quiet; expect_file ./--version example_out
    ;;
  one_argument)
    example_in >model.3do
    run model.3do
    expect_status 2; expect_stderr; expect_absent out.3do; expect_file model.3do example_in
    ;;
  help_and_version)
    for flag in --help -h; do
      run "$flag"
      expect_status 0; grep -q '^usage: convert3do' stdout || fail "$flag: no usage"
      [ -s stderr ] && fail "$flag: stderr"
    done
    run --version
    expect_status 0; grep -qE '^convert3do [0-9]+\.[0-9]+\.[0-9]+$' stdout || fail "version: $(cat stdout)"
    [ "$(wc -l <stdout)" -eq 1 ] || fail "version is not one line"
    expect_absent out.3do
    ;;
  not_3do)
    printf 'not a model at all' >in.3do
    echo "old contents" >out.3do
    run
    expect_status 0; expect_stdout "$not_3do"; [ -s stderr ] && fail "stderr"; expect_empty out.3do
    : >empty.3do
    run empty.3do out2.3do
    expect_status 0; expect_stdout "$not_3do"; expect_empty out2.3do
    ;;
  same_file)
    example_in >model.3do
    mkdir sub
    ln -s model.3do link.3do
    ln model.3do hard.3do
    for out in model.3do ./model.3do sub/../model.3do link.3do hard.3do "$work/model.3do"; do
      run model.3do "$out"
      expect_status 2; expect_stderr; expect_file model.3do example_in
    done
    run link.3do model.3do
    expect_status 2; expect_file model.3do example_in
    ;;
  unopenable_input)
    mkdir folder.3do
    run folder.3do out.3do
    expect_status 1; expect_stdout "$not_found"; expect_absent out.3do
    example_in >readonly.3do
    chmod 444 readonly.3do
    if [ "$(id -u)" -eq 0 ]; then
      chmod 777 "$work"
      as_nobody readonly.3do out.3do
    else
      run readonly.3do out.3do
    fi
    expect_status 1; expect_stdout "$not_found"; expect_absent out.3do
    grep -q "^convert3do: readonly.3do: cannot open: Permission denied (convert3do opens its input for reading and update)$" stderr ||
      fail "a refused input does not say why: $(cat stderr)"
    ;;
  uncreatable_output)
    example_in >model.3do
    mkdir folder.3do
    for out in missing/out.3do folder.3do; do
      run model.3do "$out"
      expect_status 3; expect_stderr; expect_file model.3do example_in
      grep -q "$out" stderr || fail "stderr does not name $out"
    done
    expect_absent missing
    ;;
  device_full)
    [ -w /dev/full ] || skip "no /dev/full"
    example_in >model.3do
    run model.3do /dev/full
    expect_status 3; expect_stderr; expect_file model.3do example_in
    [ -c /dev/full ] || fail "/dev/full was replaced"
    ;;
  fifo_output)
    example_in >model.3do
    mkfifo pipe.3do
    cat pipe.3do >/dev/null &
    reader=$!
    run model.3do pipe.3do
    expect_status 3; expect_stderr; [ -p pipe.3do ] || fail "the FIFO was removed"
    grep -q 'seekable' stderr || fail "the message does not say why: $(cat stderr)"
    expect_file model.3do example_in
    kill "$reader" 2>/dev/null
    wait "$reader" 2>/dev/null
    ;;
  file_size_limit)
    # A 200 KiB file whose copy is cut by a file-size limit inside its chunk,
    # and by a limit of 0 inside the header.
    { words MAGIC 0 204800; words PRIM 1 204788; head -c 204788 /dev/zero; } >big.3do
    cp big.3do original.3do
    for blocks in 64 0; do
      (ulimit -f "$blocks"; run big.3do out.3do; exit "$status")
      status=$?
      expect_status 3; expect_absent out.3do; cmp -s big.3do original.3do || fail "input changed"
    done
    ;;
  unwritable_folder)
    example_in >model.3do
    chmod 666 model.3do
    mkdir locked
    chmod 555 locked
    chmod 755 "$work"
    if [ "$(id -u)" -eq 0 ]; then
      as_nobody model.3do locked/out.3do
    else
      run model.3do locked/out.3do
    fi
    expect_status 3; expect_absent locked/out.3do; expect_file model.3do example_in
    grep -qx "convert3do: locked/out.3do: cannot create the output: Permission denied" stderr ||
      fail "the refusal does not name the output and say why: $(cat stderr)"
    ;;
  input_replaced)
    # The input is removed, or replaced by another file, while it is being
    # converted: the open input is read to its end all the same.
    { words MAGIC 0 0x7FFFFFF0; for _ in 1 2 3 4; do words XYZS 1 16777216; head -c 16777216 /dev/zero; done; } >big.3do
    cp big.3do keep.3do
    run keep.3do expected.3do
    expect_status 0
    for how in remove replace; do
      cp keep.3do big.3do
      timeout 20 "${tool_cmd[@]}" big.3do out.3do >stdout 2>stderr &
      pid=$!
      # Wait until the input is open (or the run is already over).
      while kill -0 "$pid" 2>/dev/null && ! ls -l "/proc/$pid/fd" 2>/dev/null | grep -q big.3do; do
        sleep 0.001
      done
      if [ "$how" = remove ]; then rm -f big.3do; else example_in >new.3do; mv new.3do big.3do; fi
      wait "$pid"
      status=$?
      expect_status 0; expect_quiet
      cmp -s out.3do expected.3do || fail "$how: the output is not the conversion of the input"
      cmp -s keep.3do "$work/keep.3do" || fail "$how: input changed"
    done
    ;;
  damaged_input)
    { words MAGIC 5 100 HAND 1 4 9; words PRIM 2 40 1 2; } >cut.3do
    run cut.3do out.3do
    expect_status 4; expect_stderr; grep -q 'byte 28' stderr || fail "no offset: $(cat stderr)"
    grep -qx 'convert3do: cut.3do: damaged: cut at byte 48, inside the chunk at byte 28; out.3do keeps the 16 chunk bytes before it' stderr ||
      fail "not the damage wording of 3do: $(cat stderr)"
    expect_file out.3do "words MAGIC 5 16 HAND 1 4 9"
    words MAGIC 5 >short.3do
    run short.3do out.3do
    expect_status 4; expect_stderr; expect_empty out.3do
    words MAGIC 5 100 NORM 1 0x7FFFFFFF 1 2 3 >huge.3do
    run huge.3do out.3do
    expect_status 4; expect_stderr; expect_file out.3do "words MAGIC 5 0"
    ;;
  closed_stderr)
    # With stderr (or stdout) closed, no message may land in a file opened later.
    example_in >model.3do
    "${tool_cmd[@]}" model.3do missing/out.3do 2>&-
    status=$?
    expect_status 3; expect_file model.3do example_in
    "${tool_cmd[@]}" model.3do ./model.3do 2>&-
    status=$?
    expect_status 2; expect_file model.3do example_in
    "${tool_cmd[@]}" model.3do out.3do >&- 2>&-
    status=$?
    expect_status 0; expect_file out.3do example_out; expect_file model.3do example_in
    ;;
  pipe_input)
    example_in >model.3do
    mkfifo fifo.3do
    cat model.3do >fifo.3do &
    run fifo.3do out1.3do
    expect_status 0; expect_quiet; expect_file out1.3do example_out
    wait
    cat model.3do | timeout 20 "${tool_cmd[@]}" /dev/stdin out2.3do >stdout 2>stderr
    status=$?
    expect_status 0; expect_quiet; expect_file out2.3do example_out
    run <(cat model.3do) out3.3do
    expect_status 0; expect_quiet; expect_file out3.3do example_out
    # A damaged pipe input: the complete chunks are kept.
    { words MAGIC 5 100 HAND 1 4 9; words PRIM 2 40 1 2; } | timeout 20 "${tool_cmd[@]}" /dev/stdin out4.3do >stdout 2>stderr
    status=$?
    expect_status 4; grep -q 'byte 28' stderr || fail "no offset: $(cat stderr)"
    expect_file out4.3do "words MAGIC 5 16 HAND 1 4 9"
    # The walk ends at the unrecognised chunk: a producer that keeps the pipe
    # open (here the test itself) must not hold the run up.
    exec 3<>fifo.3do
    example_in >&3
    timeout 20 "${tool_cmd[@]}" /dev/stdin out5.3do <fifo.3do >stdout 2>stderr
    status=$?
    exec 3>&-
    expect_status 0; expect_quiet; expect_file out5.3do example_out
    ;;
  interrupted)
    # A signal while the output is open removes it, and the process dies by
    # the signal; the input comes through a FIFO, so the run is caught mid-way.
    set -m
    big_model model.3do 1
    mkfifo feed
    for sig in INT TERM HUP PIPE XCPU; do
      rm -f out.3do
      "${tool_cmd[@]}" feed out.3do >stdout 2>stderr &
      pid=$!
      exec 3>feed
      head -c 100000 model.3do >&3
      wait_for_file out.3do "$pid" || fail "$sig: the output never appeared"
      kill -s "$sig" "$pid"
      wait "$pid"
      status=$?
      exec 3>&-
      expect_status $((128 + $(kill -l "$sig"))); expect_absent out.3do
    done
    # A signal ignored from the start (nohup) stays ignored.
    rm -f out.3do
    (trap '' HUP; exec "${tool_cmd[@]}" feed out.3do >stdout 2>stderr) &
    pid=$!
    exec 3>feed
    head -c 100000 model.3do >&3
    wait_for_file out.3do "$pid" || fail "nohup: the output never appeared"
    kill -s HUP "$pid"
    tail -c +100001 model.3do >&3
    exec 3>&-
    wait "$pid"
    status=$?
    expect_status 0
    "${tool_cmd[@]}" model.3do expected.3do
    cmp -s out.3do expected.3do || fail "nohup: the output is not the conversion"
    ;;
  killed_anytime)
    # Signals at random moments of a long run: whatever the moment, no file is
    # left that starts with the magic unless it is the complete conversion.
    set -m
    big_model model.3do 48
    run model.3do expected.3do
    magic=$(words MAGIC | od -An -tx1)
    for round in $(seq 1 24); do
      sigs=(INT TERM HUP KILL)
      sig=${sigs[round % 4]}
      rm -f out.3do
      "${tool_cmd[@]}" model.3do out.3do >stdout 2>stderr &
      pid=$!
      sleep "0.0$((RANDOM % 60))"
      kill -s "$sig" "$pid" 2>/dev/null
      wait "$pid"
      status=$?
      [ -e out.3do ] || continue
      if [ "$(head -c 4 out.3do | od -An -tx1)" = "$magic" ]; then
        cmp -s out.3do expected.3do || fail "round $round ($sig, status $status): a partial output starts with the magic"
      elif [ "$sig" != KILL ]; then
        fail "round $round ($sig, status $status): a partial output was left"
      fi
    done
    ;;
  same_file_race)
    # Another process swaps the output name between a symlink to the input and
    # nothing; the input must never be emptied. A stress loop: 300 runs, or
    # as many as 30 seconds allow on a slow or busy machine.
    example_in >model.3do
    ( while :; do ln -sf model.3do out.3do; rm -f out.3do; done ) 2>/dev/null &
    swapper=$!
    stop=$((SECONDS + 30))
    for _ in $(seq 1 300); do
      [ "$SECONDS" -lt "$stop" ] || break
      "${tool_cmd[@]}" model.3do out.3do >/dev/null 2>&1
      cmp -s model.3do <(example_in) || { fail "the input was changed"; break; }
    done
    kill "$swapper"; wait "$swapper" 2>/dev/null
    ;;
  output_modes)
    example_in >private.3do
    chmod 600 private.3do
    example_in >shared.3do
    chmod 644 shared.3do
    : >existing.3do
    chmod 640 existing.3do
    (umask 022; "${tool_cmd[@]}" private.3do a.3do; "${tool_cmd[@]}" shared.3do b.3do
     "${tool_cmd[@]}" shared.3do existing.3do)
    (umask 077; "${tool_cmd[@]}" shared.3do c.3do)
    for expected in a.3do:600 b.3do:644 existing.3do:640 c.3do:600; do
      mode=$(stat -c %a "${expected%%:*}")
      [ "$mode" = "${expected#*:}" ] || fail "${expected%%:*} has mode $mode, expected ${expected#*:}"
    done
    expect_file existing.3do example_out
    ;;
  small_stack)
    [ -n "${CONVERT3DO_EMULATOR:-}" ] && skip "the emulator needs a stack of its own"
    [ "${CONVERT3DO_SANITIZED:-0}" = 1 ] && skip "the sanitizers need a stack of their own"
    big_model model.3do 1
    (ulimit -s 128; exec "${tool_cmd[@]}" model.3do out.3do) >stdout 2>stderr
    status=$?
    expect_status 0; expect_quiet; cmp -s out.3do model.3do || fail "the output differs"
    ;;
  quoted_names)
    example_in >model.3do
    run model.3do $'/x/\e]2;PWNED\a\e[2J'
    expect_status 3
    grep -qF "convert3do: '/x/'\$'\\e'']2;PWNED'\$'\\a\\e''[2J': cannot create the output" stderr ||
      fail "the name is not quoted: $(od -c stderr | head -5)"
    grep -q $'\e' stderr && fail "an escape reached the terminal"
    run model.3do $'new\nline/out.3do'
    [ "$(wc -l <stderr)" -eq 1 ] || fail "a newline in a name made a second line"
    words MAGIC 5 100 NORM 1 0x7FFFFFFF >huge.3do
    run huge.3do out.3do
    grep -q 'would take the chunk area to 2147483660 bytes' stderr || fail "too-large chunk: $(cat stderr)"
    if [ -z "${CONVERT3DO_EMULATOR:-}" ] && [ -r /proc/self/mem ]; then
      # Reading a process's memory at offset 0 fails: a read error in the header.
      run /proc/self/mem out.3do
      expect_status 4; grep -q 'out.3do is left empty' stderr || fail "read error: $(cat stderr)"
    fi
    ;;
  example_file)
    example=$3
    run "$example" out.3do
    expect_status 0; expect_quiet
    [ "$(wc -c <out.3do)" -eq 280 ] || fail "the example converts to $(wc -c <out.3do) bytes, not 280"
    run out.3do again.3do
    expect_status 0; cmp -s out.3do again.3do || fail "reconverting the example changed it"
    ;;
  *)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

finish
