#!/usr/bin/env bash
# Checks the man page: groff renders it without a single warning, and it lists
# the same exit statuses as the program's own usage text.
#
# usage: man_page_test.sh PATH/TO/convert3do PATH/TO/convert3do.1
set -u
tool=$1
page=$2
failures=0

if command -v groff >/dev/null; then
  warnings=$(groff -ww -man -z "$page" 2>&1)
  [ -z "$warnings" ] || { echo "FAIL: groff warns: $warnings"; failures=1; }
else
  echo "groff is not installed: rendering not checked"
fi

read -r -a emulator <<<"${CONVERT3DO_EMULATOR:-}"
from_usage=$("${emulator[@]}" "$tool" --help | sed -n 's/^  \([0-9]\)  .*/\1/p' | sort | tr '\n' ' ')
from_page=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH/p' "$page" | sed -n 's/^\.B \([0-9]\)$/\1/p' | sort |
  tr '\n' ' ')
if [ -z "$from_usage" ] || [ "$from_usage" != "$from_page" ]; then
  echo "FAIL: exit statuses differ: usage '$from_usage', man page '$from_page'"
  failures=1
fi
grep -q '@PROJECT_VERSION@' "$page" && { echo "FAIL: the version was not filled in"; failures=1; }
[ "$failures" -eq 0 ] && echo "ok: exit statuses $from_usage"
exit "$failures"
