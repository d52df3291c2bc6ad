#!/usr/bin/env bash
# Command-line tests of convert3do: each case runs the built program in a fresh
# temporary folder and checks its exit status, its exact standard output, its
# standard error and the files it leaves behind.
#
# usage: cli_test.sh PATH/TO/convert3do CASE
set -u

tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
# In a cross build CONVERT3DO_EMULATOR holds the command that runs the program.
read -r -a tool_cmd <<<"${CONVERT3DO_EMULATOR:-}"
tool_cmd+=("$tool")
case_name=$2
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() {
  echo "FAIL [$case_name]: $*" >&2
  failures=$((failures + 1))
}
skip() {
  echo "SKIP [$case_name]: $*"
  exit 77
}

# shellcheck source=../tools/words.sh
. "$here/../tools/words.sh"

# The worked example: 72 bytes in, 56 bytes out.
example_in() { words MAGIC 99 60 HAND 1 4 9 XYZS 2 16 8 1 2 3 JUNK 3 4 5; }
example_out() { words MAGIC 99 44 HAND 1 4 9 XYZS 2 16 1 1 2 3; }

# run ARGS...: runs the tool, leaving its status in $status and its output in
# the files stdout and stderr.
run() {
  timeout 20 "${tool_cmd[@]}" "$@" >stdout 2>stderr
  status=$?
}

expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"; }
expect_stdout() { cmp -s stdout <(printf "$1") || fail "stdout $(od -c stdout | head -3), expected '$1'"; }
expect_quiet() {
  [ -s stdout ] && fail "unexpected stdout: $(head -c 200 stdout)"
  [ -s stderr ] && fail "unexpected stderr: $(head -c 200 stderr)"
}
expect_stderr() { [ -s stderr ] || fail "stderr is empty"; [ -s stdout ] && fail "unexpected stdout"; }
expect_file() { cmp -s "$1" <($2) || fail "$1 differs from $2: $(od -An -tx1 "$1" | head -5)"; }
expect_absent() { [ -e "$1" ] && fail "$1 exists"; }
expect_empty() { [ -f "$1" ] && [ ! -s "$1" ] || fail "$1 is not an empty file"; }

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
      command -v setpriv >/dev/null || skip "root cannot be refused a read-only file without setpriv"
      chmod 777 "$work"
      timeout 20 setpriv --reuid=65534 --regid=65534 --clear-groups "${tool_cmd[@]}" readonly.3do out.3do \
        >stdout 2>stderr
      status=$?
    else
      run readonly.3do out.3do
    fi
    expect_status 1; expect_stdout "$not_found"; expect_absent out.3do
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
    [ "$(id -u)" -eq 0 ] && ! command -v setpriv >/dev/null && skip "no setpriv to drop root"
    example_in >model.3do
    chmod 666 model.3do
    mkdir locked
    chmod 555 locked
    chmod 755 "$work"
    if [ "$(id -u)" -eq 0 ]; then
      timeout 20 setpriv --reuid=65534 --regid=65534 --clear-groups "${tool_cmd[@]}" model.3do \
        locked/out.3do >stdout 2>stderr
      status=$?
    else
      run model.3do locked/out.3do
    fi
    expect_status 3; expect_stderr; expect_absent locked/out.3do; expect_file model.3do example_in
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
    expect_file out.3do "words MAGIC 5 16 HAND 1 4 9"
    words MAGIC 5 >short.3do
    run short.3do out.3do
    expect_status 4; expect_stderr; expect_empty out.3do
    words MAGIC 5 100 NORM 1 0x7FFFFFFF 1 2 3 >huge.3do
    run huge.3do out.3do
    expect_status 4; expect_stderr; expect_file out.3do "words MAGIC 5 0"
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

if [ "$failures" -gt 0 ]; then
  exit 1
fi
echo "ok [$case_name]"
