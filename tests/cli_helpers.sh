# Shared by the command-line tests: each case runs a built program in a fresh
# temporary folder and checks its exit status, its output and the files it
# leaves behind. Source it with the program's path and the case's name as $1
# and $2.
set -u

tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
# In a cross build CONVERT3DO_EMULATOR holds the command that runs the
# program, and the build's helper programs.
read -r -a emulator <<<"${CONVERT3DO_EMULATOR:-}"
tool_cmd=("${emulator[@]}" "$tool")
case_name=$2
# Random moments and sizes come from $RANDOM, seeded from CONVERT3DO_SEED
# when it is set: the seed is printed, so that a failure can be replayed.
seed=${CONVERT3DO_SEED:-$(($(date +%s%N) % 32768))}
RANDOM=$seed
echo "[$case_name] CONVERT3DO_SEED=$seed"
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

# The worked example: 132 bytes in, 116 bytes out; its second XYZS chunk has
# three entries.
example_in() { words MAGIC 99 120 HAND 1 4 9 XYZS 2 16 8 1 2 3 XYZS 5 48 7 1 2 3 5 4 5 6 9 7 8 9 JUNK 3 4 5; }
example_out() { words MAGIC 99 104 HAND 1 4 9 XYZS 2 16 1 1 2 3 XYZS 5 48 1 1 2 3 1 4 5 6 1 7 8 9; }

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

# as_user UID ARGS...: runs the tool as user and group UID, with the same
# files as run. The program (and, in a cross build, nothing else the
# emulator reads) is copied into a folder every user may enter first, so the
# case does not depend on where the checkout lives.
as_user() {
  local uid=$1
  shift
  command -v setpriv >/dev/null || skip "no setpriv to drop root"
  mkdir -p "$work/bin"
  cp "$tool" "$work/bin/"
  chmod 755 "$work" "$work/bin" "$work/bin/$(basename "$tool")"
  local cmd=("${tool_cmd[@]}")
  cmd[${#cmd[@]}-1]="$work/bin/$(basename "$tool")"
  timeout 20 setpriv --reuid="$uid" --regid="$uid" --clear-groups "${cmd[@]}" "$@" >stdout 2>stderr
  status=$?
}
as_nobody() { as_user 65534 "$@"; }

# held_at FUNCTION SKIPS CHANGE ARGS...: runs the tool under gdb, held where
# it calls FUNCTION for the time SKIPS + 1, while the bash command CHANGE runs
# (inside the command in the array $hold_in, if set: a mount namespace, say);
# its status goes to $status, its output to stdout and stderr. ARGS are plain
# words.
held_at() {
  local function=$1 skips=$2 change=$3
  shift 3
  command -v gdb >/dev/null || skip "no gdb to hold the run"
  [ -z "${CONVERT3DO_EMULATOR:-}" ] || skip "gdb does not hold an emulated run"
  # gdb's shell is whatever $SHELL names (or sh): the change is bash's.
  printf '%s\n' "$change" >change.sh
  # LeakSanitizer cannot work under ptrace. Only the thread at FUNCTION is
  # stopped (non-stop): stopping them all races with a thread that ends at
  # that moment, which gdb reports as "Couldn't get registers: No such
  # process" before it gives up the run.
  ASAN_OPTIONS=detect_leaks=0 timeout 60 "${hold_in[@]}" gdb -q -batch -ex 'set non-stop on' \
    -ex 'set breakpoint pending on' \
    -ex "break $function" -ex "ignore 1 $skips" -ex "run $* >stdout 2>stderr" \
    -ex "shell bash change.sh" -ex delete -ex continue "$tool" >gdb.log 2>&1
  if grep -q 'exited normally' gdb.log; then
    status=0
  else
    status=$(sed -n 's/.*exited with code \([0-9]*\).*/\1/p' gdb.log | tail -1)
    [ -n "$status" ] || skip "gdb could not run the tool: $(tail -3 gdb.log)"
    status=$((10#$status))
  fi
}
hold_in=()

# finish: ends the case, failed if any check failed.
finish() {
  if [ "$failures" -gt 0 ]; then
    exit 1
  fi
  echo "ok [$case_name]"
}
