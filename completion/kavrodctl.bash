# bash completion for kavrodctl(1)
_kavrodctl() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion || return
  else
    words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
    cur=${words[cword]} prev=${words[cword - 1]}
  fi

  # --timeout takes a number of seconds: nothing to offer.
  [[ $prev == --timeout ]] && return

  local i command=
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --timeout) ((i++)) ;;
      -*) ;;
      *) command=${words[i]}; break ;;
    esac
  done

  case $command in
    '')
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--json --timeout --help' -- "$cur"))
      else
        COMPREPLY=($(compgen -W 'status list pause resume new-key' -- "$cur"))
      fi
      ;;
    new-key)
      # One optional path, where the key is written.
      if ((cword == i + 1)); then
        if declare -F _filedir >/dev/null; then
          _filedir
        else
          COMPREPLY=($(compgen -f -- "$cur"))
        fi
      fi
      ;;
    *)
      [[ $cur == -* ]] && COMPREPLY=($(compgen -W '--json --timeout' -- "$cur"))
      ;;
  esac
} && complete -F _kavrodctl kavrodctl
