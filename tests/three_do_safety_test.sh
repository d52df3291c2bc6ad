#!/usr/bin/env bash
# Command-line tests of 3do convert under races and signals: files swapped or
# changed while they are converted, workers, interruptions.
#
# usage: three_do_safety_test.sh PATH/TO/3do CASE [PATH/TO/examples/cube.3do]
# shellcheck source=three_do_helpers.sh
. "$(dirname "$0")/three_do_helpers.sh"

case $case_name in
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
