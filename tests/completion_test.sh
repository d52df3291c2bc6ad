#!/usr/bin/env bash
# Checks the shell completions of 3do: bash's by running them, fish's by
# asking fish, zsh's by parsing it (where those shells are installed).
#
# usage: completion_test.sh PATH/TO/completions
set -u
dir=$(cd "$1" && pwd)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# complete_bash WORDS...: what bash offers for the last word.
complete_bash() {
  (
    # shellcheck source=../completions/3do.bash
    . "$dir/3do.bash"
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    _3do
    [ "${#COMPREPLY[@]}" -eq 0 ] || printf '%s ' "${COMPREPLY[@]}"
  )
}

# words | what bash must offer
while IFS='|' read -r words want; do
  got=$(cd "$(mktemp -d)" && mkdir dirs && touch file.3do && eval "complete_bash $words")
  [ "$got" = "$want" ] || fail "bash: '$words' gave '$got', expected '$want'"
done <<'TABLE'
3do con |convert 
3do convert --ou|--output --output-dir 
3do info --s|--summary 
3do check --j|--json 
3do help c|check convert 
3do convert --output-dir = ''|dirs 
3do convert --output-dir =|dirs 
3do convert --output-dir=|--output-dir=dirs 
3do convert -d ''|dirs 
3do convert -o ''|dirs file.3do 
TABLE

if command -v fish >/dev/null; then
  got=$(fish -c "source $dir/3do.fish; complete -C '3do convert --ou'" | cut -f1 | tr '\n' ' ')
  [ "$got" = "--output --output-dir " ] || fail "fish: '$got'"
else
  echo "fish is not installed: its completion not checked"
fi
if command -v zsh >/dev/null; then
  zsh -n "$dir/_3do" || fail "zsh cannot parse _3do"
else
  echo "zsh is not installed: its completion not checked"
fi
[ "$failures" -eq 0 ] && echo "ok: completions"
exit "$failures"
