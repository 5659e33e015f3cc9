# bash completion for nimbrel-recorder-bridge, nimbrel-rec, nimbrel-replay and nimbrel-discover.
# Installed once under each command's name, so that bash-completion loads it for any of them.

# Completes the current word from the words in $1, or as a file name when $1 is empty.
_nimbrel_reply() {
  local cur=${COMP_WORDS[COMP_CWORD]} IFS=$'\n'
  if [[ -n $1 ]]; then
    COMPREPLY=($(IFS=' ' compgen -W "$1" -- "$cur"))
  else
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}

_nimbrel_recorder_bridge() {
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  case $prev in
    --out) _nimbrel_reply "" ;;
    --compression) _nimbrel_reply "none lz4 zstd" ;;
    --domain | --topic | --duration | --max-sample-size) ;;
    *) _nimbrel_reply "--out --domain --topic --duration --max-sample-size --compression --help" ;;
  esac
}

_nimbrel_rec() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    _nimbrel_reply "info verify dump export cut merge recover help --help"
    return
  fi
  local options
  case ${COMP_WORDS[1]} in
    info) options="--json --sequence" ;;
    verify) options="" ;;
    dump) options="--topic --limit --base64" ;;
    export) options="--mcap --topic" ;;
    cut) options="--out --from --to --topic" ;;
    merge | recover) options="--out" ;;
    *) return ;;
  esac
  case $prev in
    --out | --mcap) _nimbrel_reply "" ;;
    --topic | --limit | --from | --to) ;;
    *)
      if [[ $cur == -* ]]; then
        _nimbrel_reply "$options --"
      else
        _nimbrel_reply ""
      fi
      ;;
  esac
}

_nimbrel_replay() {
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  case $prev in
    --in) _nimbrel_reply "" ;;
    --rate) _nimbrel_reply "0 1 2" ;;
    --domain | --topic | --wait-for-readers | --max-gap) ;;
    *)
      _nimbrel_reply "--in --domain --topic --rate --loop --wait-for-readers --max-gap --help"
      ;;
  esac
}

_nimbrel_discover() {
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  case $prev in
    --domain | --duration) ;;
    *) _nimbrel_reply "--domain --duration --json --help" ;;
  esac
}

complete -F _nimbrel_recorder_bridge nimbrel-recorder-bridge
complete -F _nimbrel_rec nimbrel-rec
complete -F _nimbrel_replay nimbrel-replay
complete -F _nimbrel_discover nimbrel-discover
