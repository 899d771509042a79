#!/bin/bash
# Completes kavrodctl command lines with the bash completion and checks the
# answers: every command that `kavrodctl --help` lists is offered, options
# are, and an option's argument is stepped over.
# Usage: check-completion.sh COMPLETION_FILE KAVRODCTL
set -u
[ -f /usr/share/bash-completion/bash_completion ] && . /usr/share/bash-completion/bash_completion
. "$1"
kavrodctl=$2
failed=0

complete_line() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _kavrodctl kavrodctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}

expect() {
  local want=$1
  shift
  local got
  got=$(complete_line "$@")
  if [ "$got" != "$want" ]; then
    echo "'$*': got '$got', want '$want'"
    failed=1
  fi
}

help_commands=$("$kavrodctl" --help | sed -n '/^Commands:/,/^$/p' | awk 'NF && $1 != "Commands:" && /^  [a-z]/ {print $1}')
[ -n "$help_commands" ] || { echo "no commands in kavrodctl --help"; exit 1; }
offered=" $(complete_line kavrodctl '')"
for c in $help_commands; do
  case $offered in
    *" $c "*) ;;
    *) echo "command '$c' of --help is not completed (offered:$offered)"; failed=1 ;;
  esac
done
expect "--timeout " kavrodctl --json --t
expect "--json " kavrodctl --j
expect "--timeout " kavrodctl --ti
expect "status " kavrodctl --timeout 5 st
expect "" kavrodctl --timeout ''
expect "pause " kavrodctl --json pa
expect "" kavrodctl status ''
[ $failed = 0 ] && echo "completion answers as expected"
exit $failed
