#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks what lands there: exactly the tools, the C
# API's header, library and pkg-config file, the man pages and the completions (nothing of the
# tests), and that every option a tool's --help names has its man page entry and its completion.
# Runs inside scripts/netns-run: the tools are run, if only for their --help.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cd "$prefix"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

tools=(nimbrel-recorder-bridge nimbrel-rec nimbrel-replay nimbrel-discover)
libdir=$(dirname "$(find . -name 'libnimbrel.so' -print -quit)")
# The soname's link and the library itself both read .VERSION below.
expected=(./include/nimbrel/nimbrel.h "$libdir/libnimbrel.so" "$libdir/libnimbrel.so.VERSION"
  "$libdir/libnimbrel.so.VERSION" "$libdir/pkgconfig/nimbrel.pc")
for tool in "${tools[@]}"; do
  expected+=("./bin/$tool" "./share/man/man1/$tool.1" "./share/bash-completion/completions/$tool")
done
actual=$(find . ! -type d | sed -E 's/(libnimbrel\.so)\.[0-9.]+$/\1.VERSION/' | sort)
diff <(printf '%s\n' "${expected[@]}" | sort) <(echo "$actual") || fail "installed files differ"
grep -q '^Libs: .*-lnimbrel' "$libdir/pkgconfig/nimbrel.pc" || fail "nimbrel.pc has no -lnimbrel"

# The words the completion offers after COMMAND WORDS..., for the word "-".
offered() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@" "-"); COMP_CWORD=$(($# )); "$completion_function"
    printf "%s\n" "${COMPREPLY[@]}"' offered "$completion" "$@"
}
# One option's documentation: its man page names it, its completion offers it.
check_option() {
  local tool=$1 option=$2 offers=$3
  grep -qF -- "${option//-/\\-}" "share/man/man1/$tool.1" || fail "$tool.1 lacks $option"
  grep -qxF -- "$option" <<<"$offers" || fail "completion of $tool ${4:-}lacks $option"
}

version=$(sed -nE 's/^Version: //p' "$libdir/pkgconfig/nimbrel.pc")
for tool in "${tools[@]}"; do
  [ "$("bin/$tool" --version)" = "$tool $version" ] || fail "$tool --version is not \"$tool $version\""
done

for tool in "${tools[@]}"; do
  completion=share/bash-completion/completions/$tool
  export completion_function=_${tool//-/_}
  help=$("bin/$tool" --help)
  if [ "$tool" = nimbrel-rec ]; then
    # Each command's line of the usage names the command and its options.
    while read -r command line; do
      offers=$(offered "$tool" "$command")
      for option in $(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$line" | sort -u); do
        check_option "$tool" "$option" "$offers" "$command "
      done
      grep -qE "^\.BI? $command( |$)" "share/man/man1/$tool.1" || fail "$tool.1 lacks $command"
    done < <(grep -E '^  [a-z]+ ' <<<"$help")
  else
    offers=$(offered "$tool")
    for option in $(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u); do
      check_option "$tool" "$option" "$offers"
    done
  fi
done

# groff says "warning" on stderr and still exits 0.
if command -v groff >/dev/null; then
  for page in share/man/man1/*.1; do
    warnings=$(groff -ww -man -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
  done
fi
[ "$failures" -eq 0 ] || exit 1
echo "install_test: ok"
