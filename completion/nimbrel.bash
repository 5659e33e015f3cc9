# bash completion for nimbrel-recorder-bridge, nimbrel-rec, nimbrel-replay and nimbrel-discover.
# Installed once under each command's name, so that bash-completion loads it for any of them.

# Completes the current word from the words in $1, or as a file name when $1 is empty. Split on
# newlines rather than read through mapfile: process substitution needs a /dev/fd, which a chroot
# or a minimal system may lack.
# shellcheck disable=SC2207
_nimbrel_reply() {
  local cur=${COMP_WORDS[COMP_CWORD]} IFS=$'\n'
  if [[ -n $1 ]]; then
    COMPREPLY=($(IFS=' ' compgen -W "$1" -- "$cur"))
  else
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}

# Completes one word of a command line: $1 the options whose value is a file, $2 those whose value
# is something else, $3 every option; with $4 = files, a word that is no option is a file.
_nimbrel_options() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  case $prev in
    --compression) _nimbrel_reply "none lz4 zstd" ;;
    --rate) _nimbrel_reply "0 1 2" ;;
    *)
      if [[ " $1 " == *" $prev "* ]]; then
        _nimbrel_reply ""
      elif [[ " $2 " != *" $prev "* ]]; then
        if [[ $4 == files && $cur != -* ]]; then
          _nimbrel_reply ""
        else
          _nimbrel_reply "$3"
        fi
      fi
      ;;
  esac
}

_nimbrel_recorder_bridge() {
  local valued="--domain --topic --duration --max-sample-size --compression --exclude --max-topics"
  _nimbrel_options --out "$valued" "--out $valued --all --help --version"
}

_nimbrel_rec() {
  if ((COMP_CWORD == 1)); then
    _nimbrel_reply "info verify dump export cut merge recover help --help --version"
    return
  fi
  local options
  case ${COMP_WORDS[1]} in
    info) options="--json --sequence" ;;
    verify) options="" ;;
    dump) options="--topic --limit --base64 --decode" ;;
    export) options="--mcap --topic --quiet" ;;
    cut) options="--out --from --to --topic --quiet" ;;
    merge | recover) options="--out --quiet" ;;
    *) return ;;
  esac
  _nimbrel_options "--out --mcap" "--topic --limit --from --to" "$options --help --" files
}

_nimbrel_replay() {
  _nimbrel_options --in "--domain --topic --rate --wait-for-readers --max-gap" \
    "--in --domain --topic --rate --loop --wait-for-readers --max-gap --help --version"
}

_nimbrel_discover() {
  _nimbrel_options "" "--domain --duration --topic --exclude" \
    "--domain --duration --json --types --topic --exclude --help --version"
}

complete -F _nimbrel_recorder_bridge nimbrel-recorder-bridge
complete -F _nimbrel_rec nimbrel-rec
complete -F _nimbrel_replay nimbrel-replay
complete -F _nimbrel_discover nimbrel-discover
