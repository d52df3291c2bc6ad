# bash completion for 3do: its commands, each command's options, and files.
_3do() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local commands="info check convert help" options
  if [ "$COMP_CWORD" -eq 1 ]; then
    mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
    return
  fi
  case ${COMP_WORDS[1]} in
    convert)
      options="-o --output -d --output-dir -i --in-place -r --recursive -a --archives -f --force -n --dry-run
        -v --verbose -q --quiet -j --jobs --json --salvage --no-sync --files0-from --help" ;;
    info) options="--json --summary --entries -r --recursive -a --archives --files0-from --help" ;;
    check) options="--json --all -r --recursive -a --archives --files0-from --help" ;;
    help)
      mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
      return ;;
    *) return ;;
  esac
  # --option=VALUE: bash splits it at the =, or keeps it whole where = is no
  # word break.
  local given="" option=$prev
  if [ "$cur" = = ]; then
    cur=""
  elif [ "$prev" = = ] && [ "$COMP_CWORD" -ge 3 ]; then
    option=${COMP_WORDS[COMP_CWORD - 2]}
  elif [[ $cur == --*=* ]]; then
    given=${cur%%=*}= option=${cur%%=*} cur=${cur#*=}
  fi
  case $option in
    -o | --output | --files0-from)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur" | sed "s|^|$given|")
      return ;;
    -d | --output-dir)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur" | sed "s|^|$given|")
      return ;;
    -j | --jobs) return ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}
complete -o filenames -F _3do 3do
