#!/usr/bin/env bash
# Checks the man page: groff renders it without a single warning, it lists
# the same exit statuses as the program's own usage text, and (3do) every
# option of a command's help in its synopsis and on a line of its own.
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

# Every long option a command's help lists is in the synopsis, and has a
# line of its own (.TP, then the option) under OPTIONS.
if [ "$(basename "$tool")" = 3do ]; then
  synopsis=$(sed -n '/^\.SH SYNOPSIS/,/^\.SH/p' "$page" | sed 's/\\-/-/g')
  options=$(sed -n '/^\.SH OPTIONS/,/^\.SH JSON/p' "$page" | sed 's/\\-/-/g' | grep -A1 '^\.TP' | grep -v '^\.TP')
  for command in convert info check; do
    while read -r short option; do
      [ -n "$option" ] || { option=$short; short=""; }
      short=${short%,}
      grep -qF -- "${short:-$option}" <<<"$synopsis" ||
        { echo "FAIL: ${short:-$option} ($command) is not in the synopsis"; failures=1; }
      grep -qE -- "(^|[ \"])$option([=\" ]|\\f|\$)" <<<"$options" ||
        { echo "FAIL: $option ($command) has no line of its own under OPTIONS"; failures=1; }
    done < <("${emulator[@]}" "$tool" help "$command" | grep -oE '^  (-[a-zA-Z], )?--[a-z0-9-]+')
  done
fi
[ "$failures" -eq 0 ] && echo "ok: exit statuses $from_usage"
exit "$failures"
